// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.AWTException;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.io.Closeable;
import java.io.IOException;
import java.util.Objects;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.Consumer;
import java.util.function.Supplier;

/**
 * Keeps an AWT tray icon in the tray when the tray is made anew: when Explorer restarts on
 * Windows, or a tray host restarts or is replaced on Linux and other X11 desktops. One line
 * takes the place of {@code SystemTray.getSystemTray().add(icon)}:
 *
 * <pre>{@code
 * TrayIconKeeper keeper = TrayIconKeeper.add(icon);
 * ...
 * keeper.close();   // takes the icon out of the tray
 * }</pre>
 *
 * <p>The icon is in the tray when {@code add} returns, wherever a tray can take it, and
 * else goes in once one can. From then on the keeper puts it back whenever the tray has
 * lost it, until the application takes it away with {@link #close()} (or with
 * {@code SystemTray.remove} while it is in the tray). On Windows in an elevated JVM it does
 * so through trayredraw.exe, which this jar carries; elsewhere it starts no process. Its
 * work after {@code add} runs on a thread of the library's own, never on the event
 * dispatch thread. An icon is kept once: another {@code add} of it returns another keeper,
 * and the icon stays until the last of them is closed. The keeper logs through
 * {@code java.util.logging} (logger {@code org.trayredraw.client.TrayIconKeeper}); a
 * {@link Listener} hears its news in code.
 */
public final class TrayIconKeeper implements Closeable {

    /**
     * What a keeper tells besides its log. Each method runs on a thread of the library's,
     * never on the event dispatch thread: keep it short, and hand AWT work to the event
     * dispatch thread. An exception it throws goes to that thread's uncaught-exception
     * handler.
     */
    public interface Listener {
        /**
         * The keeper has put the icon into the tray after {@code add} returned: the tray had
         * lost it, refused it, or was not there yet.
         *
         * @param icon the icon, now in the tray
         */
        default void iconPutBack(TrayIcon icon) {}

        /**
         * The helper that brings the icon back after Explorer restarts (Windows, an
         * elevated JVM) cannot be had: its program cannot be put on disk, launched, or is
         * refused. Told once until {@link #helperRecovered()}; the keeper goes on trying.
         *
         * @param why what went wrong, and what to do about it
         */
        default void helperFailed(IOException why) {}

        /** The helper serves again after {@link #helperFailed}. */
        default void helperRecovered() {}
    }

    private final Keeping keeping;
    private final Listener listener;
    private final AtomicBoolean closed = new AtomicBoolean();

    TrayIconKeeper(Keeping keeping, Listener listener) {
        this.keeping = keeping;
        this.listener = listener;
    }

    /**
     * Adds {@code icon} to the {@link SystemTray} and keeps it there. Called on any thread,
     * it adds the icon on that thread, as {@link SystemTray#add} does; an icon already in
     * the tray is left as it is, and kept.
     *
     * @param icon the icon to add and keep
     * @return its keeper
     * @throws AWTException never: the keeper tries again where the tray refuses the icon.
     *     Declared so that this line takes the place of {@code SystemTray.add} in code that
     *     catches it.
     * @throws NullPointerException if {@code icon} is null
     */
    public static TrayIconKeeper add(TrayIcon icon) throws AWTException {
        return add(icon, null);
    }

    /**
     * Adds and keeps {@code icon} as {@link #add(TrayIcon)} does, and tells {@code listener}
     * what the keeper does later.
     *
     * @param icon the icon to add and keep
     * @param listener what hears the keeper's news, or null
     * @return its keeper
     * @throws AWTException never; see {@link #add(TrayIcon)}
     */
    public static TrayIconKeeper add(TrayIcon icon, Listener listener) throws AWTException {
        return Keeping.keep(Setup.SYSTEM, Objects.requireNonNull(icon, "icon"), null, listener);
    }

    /**
     * Keeps the icon that {@code make} makes, and makes it once a tray is there: AWT's
     * {@code new TrayIcon(...)} throws while there is none, as on a Linux desktop at log-on
     * before its panel has started. Where a tray is there already, the icon is made and
     * added on the calling thread; otherwise on the library's, and {@code listener} hears
     * of it. An exception from {@code make} is logged, and nothing is kept.
     *
     * @param make makes the icon, with its image, menu and listeners
     * @param listener what hears the keeper's news, or null
     * @return its keeper
     * @throws NullPointerException if {@code make} is null
     */
    public static TrayIconKeeper add(Supplier<? extends TrayIcon> make, Listener listener) {
        return Keeping.keep(Setup.SYSTEM, null, Objects.requireNonNull(make, "make"), listener);
    }

    /**
     * Takes the icon out of the tray and stops keeping it, unless another keeper of the
     * icon is still open; on any thread, like {@code SystemTray.remove}, and also while no
     * tray host is there, when AWT gives no one its tray. A helper that this keeper alone
     * used is told in the background. Closing twice does nothing.
     */
    @Override
    public void close() {
        if (closed.compareAndSet(false, true))
            keeping.release(this);
    }

    void tell(Consumer<Listener> news) {
        if (listener == null || closed.get())
            return;
        try {
            news.accept(listener);
        } catch (RuntimeException e) {
            Thread t = Thread.currentThread();
            t.getUncaughtExceptionHandler().uncaughtException(t, e);
        }
    }
}
