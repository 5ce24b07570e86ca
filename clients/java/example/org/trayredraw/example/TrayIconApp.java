// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.example;

import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.awt.image.BufferedImage;
import javax.swing.SwingUtilities;

import org.trayredraw.client.TrayIconKeeper;

/**
 * A tray icon that survives Explorer restarts: {@link TrayIconKeeper} adds the icon, and
 * in an elevated JVM, where AWT does not hear of a new taskbar, adds it again each time
 * the taskbar is created anew. Elsewhere AWT does that itself, and the keeper only adds
 * the icon.
 *
 * <pre>java -cp trayredraw-client-VERSION.jar:. org.trayredraw.example.TrayIconApp</pre>
 *
 * Ends when Enter is pressed.
 */
public final class TrayIconApp {
    public static void main(String[] args) throws Exception {
        if (!SystemTray.isSupported()) {
            System.err.println("no system tray here");  // e.g. a headless JVM
            System.exit(1);
        }
        TrayIcon icon = new TrayIcon(new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB), "Example");
        TrayIconKeeper keeper = TrayIconKeeper.add(icon);

        System.out.println("showing the tray icon; Enter ends");
        System.in.read();
        keeper.close();
        SwingUtilities.invokeAndWait(() -> SystemTray.getSystemTray().remove(icon));
        System.exit(0);  // AWT's threads would keep the JVM alive
    }
}
