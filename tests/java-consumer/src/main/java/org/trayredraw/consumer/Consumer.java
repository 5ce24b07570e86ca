// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.consumer;

import java.awt.AWTException;
import java.awt.Image;
import java.awt.TrayIcon;

import org.trayredraw.client.TrayIconKeeper;
import org.trayredraw.client.TrayRedrawClient;

/**
 * An application with the library as its dependency: the README's lines compile against
 * the published artifact, where they stand in the place of SystemTray's own; and run, it
 * says what the dependency carries and that the helper's client stays off this system.
 */
public final class Consumer {

    // The README's line.
    static TrayIconKeeper readmeLine(TrayIcon icon) throws AWTException {
        TrayIconKeeper keeper = TrayIconKeeper.add(icon);
        return keeper;
    }

    // The same line in code that catches what SystemTray.add throws.
    static void inPlaceOfSystemTrayAdd(TrayIcon icon) {
        try {
            TrayIconKeeper.add(icon);
        } catch (AWTException e) {
            System.err.println("no tray: " + e);
        }
    }

    // The way through a log-on before the panel starts.
    static TrayIconKeeper madeOnceATrayIsThere(Image image) {
        return TrayIconKeeper.add(() -> new TrayIcon(image, "App"), null);
    }

    public static void main(String[] args) {
        System.out.println("consumer: the dependency carries trayredraw.exe: "
                           + (TrayRedrawClient.class.getResource("trayredraw.exe") != null));
        try {
            TrayRedrawClient.open(() -> {}).close();
            System.out.println("consumer: a client opened here");
        } catch (UnsupportedOperationException e) {
            System.out.println("consumer: off Windows the client is refused: " + e.getMessage());
        }
    }
}
