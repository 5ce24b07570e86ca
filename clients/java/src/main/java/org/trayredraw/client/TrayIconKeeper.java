// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.AWTException;
import java.awt.EventQueue;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.io.Closeable;
import java.io.IOException;
import java.util.Arrays;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Keeps one AWT tray icon in the taskbar's notification area when Explorer restarts, in
 * one line:
 *
 * <pre>{@code
 * SystemTray.getSystemTray().add(icon);
 * TrayIconKeeper keeper = TrayIconKeeper.keep(icon);
 * ...
 * keeper.close();   // also done at JVM exit if forgotten
 * }</pre>
 *
 * <p>On Windows, {@link #keep} opens a {@link TrayRedrawClient} with the program this jar
 * carries. Each time the taskbar is created anew, the icon is removed from the
 * {@link SystemTray} and added again, on the event dispatch thread, as long as the
 * application still has it in the tray: an icon the application has taken away stays
 * away. On other systems {@code keep} registers nothing and returns a keeper that does
 * nothing, so an application calls it on every system alike.
 */
public final class TrayIconKeeper implements Closeable {

    private static final Logger LOG = Logger.getLogger(TrayIconKeeper.class.getName());

    /** The kept icon's place in the tray; tests put a stand-in in the system tray's place. */
    interface Tray {
        /** Whether the application has the icon in its tray. */
        boolean shows();

        void remove();

        void add() throws AWTException;
    }

    /** What registers the redraw callback with the helper. */
    interface Registrar {
        Closeable register(Runnable onRedraw) throws IOException;
    }

    private final Closeable registration;  // null: nothing to withdraw

    private TrayIconKeeper(Closeable registration) {
        this.registration = registration;
    }

    /**
     * Adds {@code icon} again each time the taskbar is created anew, for as long as the
     * application has it in the {@link SystemTray}. Call it once the icon is in the tray.
     *
     * <p>If the helper cannot be put on disk or launched, this is logged as a WARNING
     * (logger {@code org.trayredraw.client.TrayIconKeeper}) and the keeper does nothing: the
     * icon is shown as before, but not added again after Explorer restarts.
     *
     * @param icon the tray icon to keep
     * @return the keeper, whose {@link #close()} withdraws it; one that does nothing on
     *     systems other than Windows
     */
    public static TrayIconKeeper keep(TrayIcon icon) {
        if (icon == null)
            throw new NullPointerException("icon");
        return keep(new SystemTrayPlace(icon), TrayRedrawClient.WINDOWS, TrayRedrawClient::open);
    }

    static TrayIconKeeper keep(Tray tray, boolean windows, Registrar registrar) {
        if (!windows)
            return new TrayIconKeeper(null);
        try {
            // The client calls back on a thread of its own; AWT wants its event thread.
            return new TrayIconKeeper(registrar.register(() -> EventQueue.invokeLater(() -> addAgain(tray))));
        } catch (IOException e) {
            LOG.log(Level.WARNING, "trayredraw: the tray icon will not be added again when the taskbar"
                                   + " is created anew", e);
            return new TrayIconKeeper(null);
        }
    }

    /**
     * Stops keeping the icon: withdraws the registration with the helper. The icon itself
     * stays where it is. Closing twice does nothing; a failed withdrawal is logged.
     */
    @Override
    public void close() {
        if (registration == null)
            return;
        try {
            registration.close();
        } catch (IOException e) {
            LOG.log(Level.WARNING, "trayredraw: withdrawing the tray icon's registration failed", e);
        }
    }

    // The icon's old entry went with the old taskbar, but AWT still holds it as added and
    // would refuse to add it twice: it has to be removed first.
    private static void addAgain(Tray tray) {
        if (!tray.shows())
            return;
        tray.remove();
        try {
            tray.add();
        } catch (AWTException e) {
            LOG.log(Level.WARNING, "trayredraw: the tray icon could not be added again", e);
        }
    }

    private static final class SystemTrayPlace implements Tray {
        private final TrayIcon icon;

        SystemTrayPlace(TrayIcon icon) {
            this.icon = icon;
        }

        @Override
        public boolean shows() {
            return Arrays.asList(SystemTray.getSystemTray().getTrayIcons()).contains(icon);
        }

        @Override
        public void remove() {
            SystemTray.getSystemTray().remove(icon);
        }

        @Override
        public void add() throws AWTException {
            SystemTray.getSystemTray().add(icon);
        }
    }
}
