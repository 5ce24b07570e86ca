// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.AWTException;
import java.awt.EventQueue;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.io.Closeable;
import java.io.IOException;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HashMap;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.ThreadPoolExecutor;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
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
 * <p>{@link #add} puts the icon into the {@link SystemTray} as {@link SystemTray#add}
 * does, on the caller's thread (any thread), so that it is in the tray when {@code add}
 * returns, and keeps it there; {@link #keep} keeps an icon the application has added
 * itself. Neither waits for anything else: asking Windows, copying and launching the
 * helper happen on a thread of the library's own. An icon is kept once: a second
 * {@code add} or {@code keep} of an icon already kept returns a keeper that shares the
 * first one's keeping, which goes on until every keeper of the icon is closed.
 *
 * <p><b>Who needs it.</b> AWT's tray on Windows has a hidden window of its own that
 * hears the shell announce a new taskbar and adds every AWT icon again, under the same
 * id. In a JVM that is not elevated, AWT icons therefore come back by themselves, and
 * the keeper does nothing but add the icon: it launches no helper and registers no port.
 * In an elevated JVM (run as administrator) the system drops the announcement of the
 * less privileged shell before AWT's window sees it, and the icons stay lost. There the
 * keeper launches trayredraw.exe, which runs elevated too and lets the announcement
 * through, and registers with it through the JVM's one {@link TrayRedrawClient}, shared
 * by every keeper of the application. Each time the taskbar is created anew, the icon
 * is removed from the {@code SystemTray} and added again, on the event dispatch thread,
 * as long as the application still has it in the tray: an icon the application has
 * taken away stays away. Any mandatory level above the shell's (medium) counts as
 * elevated. The keeper asks once per JVM, from the JDK's own view of the process's token,
 * without starting a process (only a runtime image without the module
 * {@code jdk.security.auth} asks {@code whoami}), and waits ten seconds at most for the
 * answer; where Windows cannot tell in that time, the keeper acts as in the elevated
 * case. Where the shell itself runs elevated (UAC turned off, or the built-in
 * Administrator account) AWT does hear the announcement, and the keeper adds the icon
 * again needlessly, under a new id.
 *
 * <p>On Linux and other X11 desktops the tray is a program of its own (a panel, a
 * stand-alone tray), and when it ends and starts again AWT often loses the icon for
 * good. There the keeper puts the icon back, the same way, each time a tray host
 * returns; it launches no helper there. An application calls the keeper on every
 * system alike.
 *
 * <p><b>What adding again costs.</b> AWT gives an icon a new id each time it is added,
 * and that id is what the shell knows the icon by: to the shell, the icon added again is
 * a new one. It may move to another place in the notification area, and a choice the
 * user made for the old one (to always show it) does not carry over.
 *
 * <p><b>A tray that refuses the icon.</b> Where the toolkit says so ({@link SystemTray#add}
 * throws an {@link AWTException}, as when a Linux desktop's tray host has gone away), the
 * keeper tries again on the event dispatch thread after a pause that grows from half a
 * second to eight seconds, one attempt at a time, for half a minute (31.5 s in 8
 * attempts), and then logs one WARNING. An icon the keeper took out of the tray, or was
 * asked to add, still counts as shown until it is in: the next new taskbar, or tray
 * host, brings another round of attempts. A new taskbar during a round starts it
 * afresh. AWT on Windows does not tell when the taskbar refuses an icon, so there these
 * attempts do not happen; on X11 they do, when a tray host goes again right after it
 * came.
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
        /** The icon kept: what tells two keepers of the same icon. */
        default Object icon() {
            return this;
        }

        /** Whether the icon is in the tray now. */
        boolean shows();

        void remove();

        void add() throws AWTException;
    }

    /** What registers the redraw callback with the helper. */
    interface Registrar {
        Closeable register(Runnable onRedraw) throws IOException;
    }

    /**
     * Whether this JVM runs above the shell: TRUE, FALSE, or null where it cannot be told.
     * Asked on the library's thread; tests answer for Windows.
     */
    interface Elevated {
        Boolean get();
    }

    // Where AWT hears the new taskbar itself, or where there is no such announcement.
    private static final Elevated SYSTEM = () -> TrayRedrawClient.WINDOWS ? Elevation.ofThisJvm() : Boolean.FALSE;

    // The library's own thread, for asking the system and for copying and launching the
    // helper, which the caller (often the event dispatch thread) must not wait for. It
    // goes away when idle.
    private static final ExecutorService LIBRARY = new ThreadPoolExecutor(0, 1, 30, TimeUnit.SECONDS,
            new LinkedBlockingQueue<>(), r -> {
                Thread t = new Thread(r, "trayredraw-keeper");
                t.setDaemon(true);
                return t;
            });

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

    /**
     * Every icon kept in this JVM (its {@link Tray#icon()}) with its one keeping, for as
     * long as a keeper of it is open: a second add or keep of the icon joins the keeping
     * here, and whatever must reach every kept icon finds them all here. Guarded by itself.
     */
    static final Map<Object, Keeping> KEPT = new HashMap<>();

    private final Keeping keeping;
    private final AtomicBoolean closed = new AtomicBoolean();

    private TrayIconKeeper(Keeping keeping) {
        this.keeping = keeping;
    }

    /**
     * Adds {@code icon} to the {@link SystemTray} and keeps it there: where AWT does not
     * add it again by itself (see above), adds it again each time the taskbar is created
     * anew, for as long as the application has it in the tray. The icon is added on the
     * caller's thread, as {@link SystemTray#add} adds it, and is in the tray when this
     * returns (an icon already in the tray is left as it is); where the tray refuses it,
     * the attempts that follow are made on the event dispatch thread. Asking Windows,
     * copying and launching the helper happen on the library's own thread, after this
     * has returned.
     *
     * <p>The helper is the copy of the program this jar carries, or the program the
     * system property {@code trayredraw.program} names. If it cannot be put on disk or
     * launched, this is logged as a WARNING (logger
     * {@code org.trayredraw.client.TrayRedrawClient}) and tried again after a few seconds
     * and at each renewal; the icon is added all the same.
     *
     * @param icon the tray icon to add and keep
     * @return the keeper, whose {@link #close()} stops keeping the icon
     * @throws UnsupportedOperationException if this system has no tray
     *     ({@link SystemTray#isSupported()} is false)
     */
    public static TrayIconKeeper add(TrayIcon icon) {
        return add(icon, null);
    }

    /**
     * Adds {@code icon} as {@link #add(TrayIcon)} does, with an installed trayredraw.exe
     * as the helper instead of the copy of the jar's: for machines whose policy runs no
     * program from the user's own folders, where an installer puts a signed program under
     * Program Files. The application's keepers share one client: the program named when
     * the first of them registers is the one launched.
     *
     * @param icon the tray icon to add and keep
     * @param program the installed trayredraw.exe, or null for the copy of the jar's (or
     *     the program the system property {@code trayredraw.program} names)
     * @return the keeper, whose {@link #close()} stops keeping the icon
     * @throws UnsupportedOperationException if this system has no tray
     *     ({@link SystemTray#isSupported()} is false)
     */
    public static TrayIconKeeper add(TrayIcon icon, Path program) {
        if (icon == null)
            throw new NullPointerException("icon");
        if (!SystemTray.isSupported())
            throw new UnsupportedOperationException("this system has no tray");
        TrayHostWatch.install();
        return add(new SystemTrayPlace(icon), SYSTEM, registrar(program), SWING_TIMERS);
    }

    /**
     * Keeps an icon that the application has added to the {@link SystemTray} itself:
     * where AWT does not add it again by itself (see above), adds it again each time the
     * taskbar is created anew, for as long as the application has it in the tray. Call
     * it once the icon is in the tray. Returns at once; on Windows in a JVM that is not
     * elevated, the keeper does nothing.
     *
     * <p>If the helper cannot be put on disk or launched, this is logged as a WARNING
     * (logger {@code org.trayredraw.client.TrayRedrawClient}) and tried again later.
     *
     * @param icon the tray icon to keep
     * @return the keeper, whose {@link #close()} withdraws it
     */
    public static TrayIconKeeper keep(TrayIcon icon) {
        return keep(icon, null);
    }

    /**
     * Keeps an icon as {@link #keep(TrayIcon)} does, with an installed trayredraw.exe as
     * the helper, as for {@link #add(TrayIcon, Path)}.
     *
     * @param icon the tray icon to keep
     * @param program the installed trayredraw.exe, or null for the copy of the jar's (or
     *     the program the system property {@code trayredraw.program} names)
     * @return the keeper, whose {@link #close()} withdraws it
     */
    public static TrayIconKeeper keep(TrayIcon icon, Path program) {
        if (icon == null)
            throw new NullPointerException("icon");
        TrayHostWatch.install();
        return keep(new SystemTrayPlace(icon), SYSTEM, registrar(program), SWING_TIMERS);
    }

    private static Registrar registrar(Path program) {
        return onRedraw -> SharedClient.JVM.join(onRedraw, program);
    }

    static TrayIconKeeper keep(Tray tray, Elevated elevated, Registrar registrar, Pauses pauses) {
        Keeping keeping;
        boolean first;
        synchronized (KEPT) {
            keeping = KEPT.get(tray.icon());
            first = keeping == null;
            if (first) {
                keeping = new Keeping(tray, pauses);
                KEPT.put(tray.icon(), keeping);
            }
            keeping.keepers++;
        }
        if (first) {
            Keeping registering = keeping;
            LIBRARY.execute(() -> registering.register(elevated, registrar));
        }
        return new TrayIconKeeper(keeping);
    }

    static TrayIconKeeper add(Tray tray, Elevated elevated, Registrar registrar, Pauses pauses) {
        TrayIconKeeper keeper = keep(tray, elevated, registrar, pauses);
        try {
            keeper.keeping.addNow();
        } catch (RuntimeException e) {
            keeper.close();
            throw e;
        }
        return keeper;
    }

    /** Waits until the library's thread has done what was handed to it so far; for tests. */
    static void awaitLibrary() throws Exception {
        LIBRARY.submit(() -> {}).get();
    }

    /**
     * Stops keeping the icon, unless another keeper of it is still open: stops any attempt
     * to add it that waits, and withdraws the registration with the helper once no other
     * keeper of the application needs it. Returns at once, on any thread: the helper
     * hears of it in the background. The icon itself stays where it is. Closing twice does
     * nothing; a failed withdrawal is logged.
     */
    @Override
    public void close() {
        if (!closed.compareAndSet(false, true))
            return;
        boolean last;
        synchronized (KEPT) {
            last = --keeping.keepers == 0;
            if (last)
                KEPT.remove(keeping.tray.icon());
        }
        if (last)
            keeping.stop();
    }

    /** What keeps one icon, shared by all its keepers. */
    static final class Keeping {
        private final Tray tray;
        private final Pauses pauses;
        private int keepers;  // guarded by KEPT; the open keepers of the icon

        // The icon's state, changed on the event dispatch thread (and by the first add on
        // its caller's thread); stop() may come from any thread.
        private Closeable registration;  // guarded by this; null: nothing to withdraw
        private boolean closed;          // guarded by this
        // The keeper took the icon out of the tray or was asked to put it in, and it is
        // not in yet: it counts as shown, although the tray no longer has it.
        private boolean owed;            // guarded by this
        private int round;               // guarded by this; an attempt of an older round does nothing
        private Runnable cancelWait;     // guarded by this; null: no attempt waits
        private long nextPauseMs;        // guarded by this
        private long pausedMs;           // guarded by this; in the current round
        private int attempts;            // guarded by this; in the current round

        private Keeping(Tray tray, Pauses pauses) {
            this.tray = tray;
            this.pauses = pauses;
        }

        // On the library's thread. Whatever goes wrong is logged: an exception here
        // would reach no one but the thread's default handler.
        private void register(Elevated elevated, Registrar registrar) {
            synchronized (this) {
                if (closed)
                    return;
            }
            Closeable registered;
            try {
                if (Boolean.FALSE.equals(elevated.get())) {
                    LOG.fine("trayredraw: AWT adds the tray icon again itself here; no helper is needed");
                    return;
                }
                // The client calls back on a thread of its own; AWT wants its event thread.
                registered = registrar.register(() -> EventQueue.invokeLater(this::redraw));
            } catch (IOException | RuntimeException e) {
                LOG.log(Level.WARNING, "trayredraw: the tray icon will not be added again when the taskbar"
                                       + " is created anew", e);
                return;
            }
            synchronized (this) {
                if (!closed) {
                    registration = registered;
                    return;
                }
            }
            withdraw(registered);
        }

        private void stop() {
            Closeable withdraw;
            synchronized (this) {
                closed = true;
                stopWaiting();
                withdraw = registration;
            }
            if (withdraw != null)
                withdraw(withdraw);
        }

        private static void withdraw(Closeable registration) {
            try {
                registration.close();
            } catch (IOException e) {
                LOG.log(Level.WARNING, "trayredraw: withdrawing the tray icon's registration failed", e);
            }
        }

        // On the event thread, when the taskbar has been created anew or a tray host has
        // returned.
        synchronized void redraw() {
            if (closed || !(owed || tray.shows()))
                return;
            // The icon's old entry went with the old taskbar, but AWT still holds it as
            // added and would refuse to add it twice: it has to be removed first.
            if (tray.shows())
                tray.remove();
            owed = true;
            startRound();
        }

        // On the caller's thread, as SystemTray.add: the first attempt is made before add
        // returns, and only those after a refusal wait for the event thread.
        synchronized void addNow() {
            if (closed || tray.shows())
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

        // One attempt to put the icon into the tray, and if the tray refuses it, the next
        // one after a pause, on the event thread.
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
                            + pausedMs / 1000.0 + " s; it will be tried again when the taskbar is next created anew"
                            + " or a tray host returns", e);
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
    }

    private static final class SystemTrayPlace implements Tray {
        private final TrayIcon icon;

        SystemTrayPlace(TrayIcon icon) {
            this.icon = icon;
        }

        @Override
        public Object icon() {
            return icon;
        }

        // While an X11 tray host is away AWT has no tray (getSystemTray() throws): the
        // icon is not shown then, and adding it is refused until a host returns. An icon
        // AWT took out of the tray as the host went is still the application's.
        @Override
        public boolean shows() {
            return SystemTray.isSupported() && Arrays.asList(SystemTray.getSystemTray().getTrayIcons()).contains(icon)
                   || TrayHostWatch.dropped(icon);
        }

        @Override
        public void remove() {
            TrayHostWatch.forget(icon);
            if (SystemTray.isSupported())
                SystemTray.getSystemTray().remove(icon);
        }

        @Override
        public void add() throws AWTException {
            if (!SystemTray.isSupported())
                throw new AWTException("no tray host");
            SystemTray.getSystemTray().add(icon);
        }
    }
}
