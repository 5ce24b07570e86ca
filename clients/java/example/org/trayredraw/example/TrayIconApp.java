// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.example;

import java.awt.GraphicsEnvironment;
import java.awt.TrayIcon;
import java.awt.image.BufferedImage;

import org.trayredraw.client.TrayIconKeeper;

/**
 * A tray icon that survives Explorer restarts on Windows and tray host restarts on Linux:
 * {@link TrayIconKeeper} makes and adds the icon once a tray is there (at log-on the panel
 * may not have started yet), and puts it back whenever the tray has lost it.
 *
 * <pre>java -cp trayredraw-client-VERSION.jar:. org.trayredraw.example.TrayIconApp</pre>
 *
 * Ends when Enter is pressed.
 */
public final class TrayIconApp {
    public static void main(String[] args) throws Exception {
        if (GraphicsEnvironment.isHeadless()) {
            System.err.println("no display, so no tray");
            System.exit(1);
        }
        BufferedImage image = new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB);
        TrayIconKeeper keeper = TrayIconKeeper.add(() -> new TrayIcon(image, "Example"), null);

        System.out.println("showing the tray icon (once there is a tray); Enter ends");
        System.in.read();
        keeper.close();  // takes the icon out of the tray
        System.exit(0);  // AWT's threads would keep the JVM alive
    }
}
