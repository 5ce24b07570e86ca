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

import javax.swing.Timer;

/**
 * Keeps one AWT tray icon in the taskbar's notification area when Explorer restarts, in
 * one line:
 *
 * <pre>{@code
 * TrayIconKeeper keeper = TrayIconKeeper.add(icon);
 * ...
 * keeper.close();   // also done at JVM exit if forgotten
 * }</pre>
 *
 * <p>{@link #add} puts the icon into the {@link SystemTray} and keeps it there;
 * {@link #keep} keeps an icon the application has added itself. On Windows, both open a
 * {@link TrayRedrawClient} with the program this jar carries. Each time the taskbar is
 * created anew, the icon is removed from the {@code SystemTray} and added again, on the
 * event dispatch thread, as long as the application still has it in the tray: an icon
 * the application has taken away stays away. On other systems nothing is registered and
 * the keeper only adds the icon, so an application calls it on every system alike.
 *
 * <p>A taskbar that has just been created often refuses icons for a moment, and so does
 * the tray at log-on before the taskbar exists: {@link SystemTray#add} throws an
 * {@link AWTException}. The keeper then tries again after a pause that grows from half a
 * second to eight seconds, one attempt at a time, for half a minute (31.5 s in 8
 * attempts), and then logs one WARNING. An icon the keeper took out of the tray, or was
 * asked to add, still counts as shown until it is in: the next new taskbar brings
 * another round of attempts. A new taskbar during a round starts it afresh.
 */
public final class TrayIconKeeper implements Closeable {

    private static final Logger LOG = Logger.getLogger(TrayIconKeeper.class.getName());

    // The pauses between attempts: doubling from the first to the longest, and no
    // further attempt once they add up to GIVE_UP_AFTER_MS. A taskbar that is still
    // refusing after that is not coming soon; its next TaskbarCreated tries again.
    private static final long FIRST_PAUSE_MS = 500;
    private static final long LONGEST_PAUSE_MS = 8000;
    private static final long GIVE_UP_AFTER_MS = 30_000;

    /** The kept icon's place in the tray; tests put a stand-in in the system tray's place. */
    interface Tray {
        /** Whether the icon is in the tray now. */
        boolean shows();

        void remove();

        void add() throws AWTException;
    }

    /** What registers the redraw callback with the helper. */
    interface Registrar {
        Closeable register(Runnable onRedraw) throws IOException;
    }

    /** Runs tasks on the event dispatch thread after a pause; tests play the clock. */
    interface Pauses {
        /** Runs {@code task} after {@code ms}; the result cancels it if it has not run yet. */
        Runnable after(long ms, Runnable task);
    }

    // Swing's timers fire on the event dispatch thread, from one shared daemon thread.
    private static final Pauses SWING_TIMERS = (ms, task) -> {
        Timer timer = new Timer((int) ms, e -> task.run());
        timer.setRepeats(false);
        timer.start();
        return timer::stop;
    };

    private final Tray tray;
    private final Pauses pauses;

    // The icon's state, changed on the event dispatch thread; close() may come from
    // any thread.
    private Closeable registration;  // guarded by this; null: nothing to withdraw
    private boolean closed;          // guarded by this
    // The keeper took the icon out of the tray or was asked to put it in, and it is not
    // in yet: it counts as shown, although the tray no longer has it.
    private boolean owed;            // guarded by this
    private int round;               // guarded by this; an attempt of an older round does nothing
    private Runnable cancelWait;     // guarded by this; null: no attempt waits
    private long nextPauseMs;        // guarded by this
    private long pausedMs;           // guarded by this; in the current round
    private int attempts;            // guarded by this; in the current round

    private TrayIconKeeper(Tray tray, Pauses pauses) {
        this.tray = tray;
        this.pauses = pauses;
    }

    /**
     * Adds {@code icon} to the {@link SystemTray} and keeps it there: adds it again each
     * time the taskbar is created anew, for as long as the application has it in the
     * tray. The icon is added on the event dispatch thread, after this method has
     * returned; if the tray refuses it, it is tried again as described above, and the
     * caller is never held up.
     *
     * <p>If the helper cannot be put on disk or launched, this is logged as a WARNING
     * (logger {@code org.trayredraw.client.TrayIconKeeper}): the icon is added all the
     * same, but not added again after Explorer restarts.
     *
     * @param icon the tray icon to add and keep
     * @return the keeper, whose {@link #close()} stops keeping the icon
     * @throws UnsupportedOperationException if this system has no tray
     *     ({@link SystemTray#isSupported()} is false)
     */
    public static TrayIconKeeper add(TrayIcon icon) {
        if (icon == null)
            throw new NullPointerException("icon");
        if (!SystemTray.isSupported())
            throw new UnsupportedOperationException("this system has no tray");
        return add(new SystemTrayPlace(icon), TrayRedrawClient.WINDOWS, TrayRedrawClient::open, SWING_TIMERS);
    }

    /**
     * Keeps an icon that the application has added to the {@link SystemTray} itself: adds
     * it again each time the taskbar is created anew, for as long as the application has
     * it in the tray. Call it once the icon is in the tray.
     *
     * <p>If the helper cannot be put on disk or launched, this is logged as a WARNING
     * (logger {@code org.trayredraw.client.TrayIconKeeper}) and the keeper does nothing:
     * the icon is shown as before, but not added again after Explorer restarts.
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
        return keep(tray, windows, registrar, SWING_TIMERS);
    }

    static TrayIconKeeper keep(Tray tray, boolean windows, Registrar registrar, Pauses pauses) {
        TrayIconKeeper keeper = new TrayIconKeeper(tray, pauses);
        if (!windows)
            return keeper;
        try {
            // The client calls back on a thread of its own; AWT wants its event thread.
            Closeable registration = registrar.register(() -> EventQueue.invokeLater(keeper::redraw));
            synchronized (keeper) {
                keeper.registration = registration;
            }
        } catch (IOException e) {
            LOG.log(Level.WARNING, "trayredraw: the tray icon will not be added again when the taskbar"
                                   + " is created anew", e);
        }
        return keeper;
    }

    static TrayIconKeeper add(Tray tray, boolean windows, Registrar registrar, Pauses pauses) {
        TrayIconKeeper keeper = keep(tray, windows, registrar, pauses);
        EventQueue.invokeLater(keeper::addFirst);
        return keeper;
    }

    /**
     * Stops keeping the icon: stops any attempt to add it that waits, and withdraws the
     * registration with the helper. The icon itself stays where it is. Closing twice does
     * nothing; a failed withdrawal is logged.
     */
    @Override
    public void close() {
        Closeable withdraw;
        synchronized (this) {
            if (closed)
                return;
            closed = true;
            stopWaiting();
            withdraw = registration;
        }
        if (withdraw == null)
            return;
        try {
            withdraw.close();
        } catch (IOException e) {
            LOG.log(Level.WARNING, "trayredraw: withdrawing the tray icon's registration failed", e);
        }
    }

    // On the event thread, when the taskbar has been created anew.
    private synchronized void redraw() {
        if (closed || !(owed || tray.shows()))
            return;
        // The icon's old entry went with the old taskbar, but AWT still holds it as added
        // and would refuse to add it twice: it has to be removed first.
        if (tray.shows())
            tray.remove();
        owed = true;
        startRound();
    }

    // On the event thread, once add() has returned.
    private synchronized void addFirst() {
        if (closed)
            return;
        owed = true;
        startRound();
    }

    private void startRound() {
        stopWaiting();
        nextPauseMs = FIRST_PAUSE_MS;
        pausedMs = 0;
        attempts = 0;
        attempt(round);
    }

    // On the event thread: one attempt to put the icon into the tray, and if the tray
    // refuses it, the next one after a pause.
    private synchronized void attempt(int of) {
        if (of != round)
            return;
        cancelWait = null;
        if (closed || !owed)
            return;
        if (tray.shows()) {  // the application has put it back itself meanwhile
            owed = false;
            return;
        }
        attempts++;
        try {
            tray.add();
            owed = false;
        } catch (AWTException e) {
            if (pausedMs >= GIVE_UP_AFTER_MS) {
                LOG.log(Level.WARNING, "trayredraw: the tray refused the icon " + attempts + " times in "
                        + pausedMs / 1000.0 + " s; it will be tried again when the taskbar is next created anew", e);
                return;
            }
            LOG.fine("trayredraw: the tray refused the icon; trying again in " + nextPauseMs + " ms: " + e);
            cancelWait = pauses.after(nextPauseMs, () -> attempt(of));
            pausedMs += nextPauseMs;
            nextPauseMs = Math.min(2 * nextPauseMs, LONGEST_PAUSE_MS);
        }
    }

    // Cancels the attempt that waits; should it run all the same (its timer may have
    // fired already), it belongs to a round that is over and does nothing.
    private void stopWaiting() {
        if (cancelWait != null)
            cancelWait.run();
        cancelWait = null;
        round++;
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
