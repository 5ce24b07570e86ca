package trayredraw.example;

import java.awt.AWTException;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.awt.image.BufferedImage;
import java.util.Arrays;
import java.util.List;
import javax.swing.SwingUtilities;

import trayredraw.client.TrayRedrawClient;

/**
 * A tray icon that survives Explorer restarts: the icon is added once at start and
 * again each time the helper says the taskbar was created anew.
 *
 * <pre>TrayIconApp PATH_OF_trayredraw.exe [LAUNCHER...]     (LAUNCHER: e.g. wine)</pre>
 *
 * Ends when Enter is pressed.
 */
public final class TrayIconApp {
    private static TrayIcon icon;

    public static void main(String[] args) throws Exception {
        if (args.length < 1) {
            System.err.println("usage: TrayIconApp PATH_OF_trayredraw.exe [LAUNCHER...]");
            System.exit(2);
        }
        List<String> launcher = Arrays.asList(args).subList(1, args.length);
        SwingUtilities.invokeAndWait(TrayIconApp::showIcon);

        // The callback runs on the client's own thread: hop to the event thread for AWT.
        try (TrayRedrawClient client = TrayRedrawClient.open(launcher, args[0], 0,
                () -> SwingUtilities.invokeLater(TrayIconApp::showIcon))) {
            System.out.println("listening on 127.0.0.1:" + client.port() + "; Enter ends");
            System.in.read();
        }
    }

    // Adds the icon anew: after a restart the new taskbar knows nothing of the old one.
    private static void showIcon() {
        System.out.println("adding the tray icon");
        if (!SystemTray.isSupported())
            return;  // e.g. a headless JVM: the exchange still works, only nothing is shown
        SystemTray tray = SystemTray.getSystemTray();
        if (icon == null)
            icon = new TrayIcon(new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB), "Example");
        tray.remove(icon);
        try {
            tray.add(icon);
        } catch (AWTException e) {
            System.err.println("no tray: " + e.getMessage());
        }
    }
}
