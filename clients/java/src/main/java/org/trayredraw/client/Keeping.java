// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.AWTEvent;
import java.awt.AWTException;
import java.awt.EventQueue;
import java.awt.GraphicsEnvironment;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.awt.event.InvocationEvent;
import java.beans.PropertyChangeEvent;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.Consumer;
import java.util.function.Supplier;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * One icon kept in the tray, however many keepers keep it, and the work that keeps every
 * such icon there.
 *
 * <p>An icon is wanted in the tray from its keeper's {@code add} until the application
 * takes it away: by closing its last keeper, or by {@code SystemTray.remove} while it is in
 * the tray. An icon wanted and not in the tray is put in: as soon as AWT has a tray (AWT
 * says nothing when it first has one: it is looked for each second), after pauses that
 * double up to eight seconds where the tray refused it, and at once where AWT took it out
 * itself, as AWT on X11 does when the icon's tray host goes, or is taken over. On Windows
 * in an elevated JVM the helper's news of a new taskbar makes the keeper take the icon out
 * and add it again: the shell has lost it, but AWT has not heard and holds it as shown.
 *
 * <p>On X11 AWT's {@code SystemTray.remove} waits for the event dispatch thread while it
 * holds the tray's lock, which that thread itself needs for its own tray work. So the
 * keeper works on a thread of its own, adds there, takes icons out only on the event
 * dispatch thread (or, on Windows, where AWT waits for no other thread, on its own), and
 * never holds its lock while it calls AWT.
 */
final class Keeping {

    private static final Logger LOG = Logger.getLogger(TrayIconKeeper.class.getName());
    private static final long LOOK_MS = 1000;
    private static final long FIRST_PAUSE_MS = 500;
    private static final int WARN_AFTER = 8;  // refusals, 31.5 s of pauses

    private static final Object LOCK = new Object();
    private static final List<Keeping> KEPT = new ArrayList<>();  // guarded by LOCK
    private static ScheduledFuture<?> tending;                     // guarded by LOCK
    private static final AtomicReference<SystemTray> TRAY = new AtomicReference<>();
    // Set while the keeper itself adds or removes: the tray's news of it is not news.
    private static final ThreadLocal<Boolean> OWN = new ThreadLocal<>();
    private static final ScheduledExecutorService WORKER =
            Executors.newSingleThreadScheduledExecutor(r -> TrayRedrawClient.daemon(r, "trayredraw-keeper"));

    private final Setup setup;
    private final Supplier<? extends TrayIcon> make;
    private final List<TrayIconKeeper> keepers = new ArrayList<>();  // guarded by LOCK
    private TrayIcon icon;      // guarded by LOCK; null until made
    private boolean wanted;     // guarded by LOCK
    private int refusals;       // guarded by LOCK; since the icon was last in the tray

    private Keeping(Setup setup, TrayIcon icon, Supplier<? extends TrayIcon> make) {
        this.setup = setup;
        this.icon = icon;
        this.make = make;
    }

    /** A keeper of {@code icon}, or of the icon {@code make} makes once a tray is there. */
    static TrayIconKeeper keep(Setup setup, TrayIcon icon, Supplier<? extends TrayIcon> make,
                               TrayIconKeeper.Listener listener) {
        Keeping keeping = null;
        TrayIconKeeper keeper;
        synchronized (LOCK) {
            for (Keeping k : KEPT)
                if (icon != null && k.icon == icon)
                    keeping = k;
            if (keeping == null) {
                keeping = new Keeping(setup, icon, make);
                KEPT.add(keeping);
                WORKER.execute(keeping::useHelper);
            }
            keeping.wanted = true;
            keeper = new TrayIconKeeper(keeping, listener);
            keeping.keepers.add(keeper);
        }
        if (keeping.show() == null)
            tendIn(0);
        return keeper;
    }

    // Waits until the worker has done what it was given so far (tests).
    static void awaitWorker() throws Exception {
        WORKER.submit(() -> {}).get();
    }

    TrayIcon icon() {
        synchronized (LOCK) {
            return icon;
        }
    }

    /** The last keeper takes the icon out, with a tray host or without one. */
    void release(TrayIconKeeper keeper) {
        TrayIcon i;
        synchronized (LOCK) {
            keepers.remove(keeper);
            if (!keepers.isEmpty())
                return;
            wanted = false;
            KEPT.remove(this);
            i = icon;
        }
        if (i != null)
            takeOut(i);
        synchronized (setup.helped) {
            if (setup.helped.remove(this) && setup.helped.isEmpty()) {
                setup.client.close();  // returns at once
                setup.client = null;
            }
        }
    }

    // Puts the icon into the tray where it is wanted and not there: TRUE where it did,
    // FALSE where there was nothing to do, null where it could not (no tray, a refusal).
    private Boolean show() {
        synchronized (LOCK) {
            if (!wanted)
                return Boolean.FALSE;
        }
        SystemTray tray = tray();
        if (tray == null || !SystemTray.isSupported())
            return GraphicsEnvironment.isHeadless() ? Boolean.FALSE : null;  // a headless JVM never has one
        TrayIcon i;
        synchronized (this) {  // made once, by whichever thread comes first
            i = icon();
            try {
                i = i != null ? i : make.get();
            } catch (UnsupportedOperationException noTrayAgain) {
                return null;
            } catch (RuntimeException e) {
                LOG.log(Level.WARNING, "trayredraw: the tray icon could not be made; it is not kept", e);
                synchronized (LOCK) {
                    wanted = false;
                }
                return Boolean.FALSE;
            }
            synchronized (LOCK) {
                icon = i;
            }
        }
        boolean added = false;
        try {
            if (!Arrays.asList(tray.getTrayIcons()).contains(i)) {
                add(tray, i);
                added = true;
            }
        } catch (AWTException | UnsupportedOperationException refused) {
            int times;
            synchronized (LOCK) {
                times = ++refusals;
            }
            LOG.log(times == WARN_AFTER ? Level.WARNING : Level.FINE, "trayredraw: the tray has refused the icon "
                    + times + " times in a row; the keeper goes on trying", refused);
            return null;
        } catch (IllegalArgumentException inMeanwhile) {
            // added by the application a moment ago
        }
        synchronized (LOCK) {
            refusals = 0;
            if (wanted || !added)
                return added;
        }
        takeOut(i);  // closed while it was being added
        return Boolean.FALSE;
    }

    // The tray, once AWT has had one: the same object for the JVM's life, which takes an icon
    // out also while no tray host is there, when getSystemTray() throws.
    private static SystemTray tray() {
        SystemTray t = TRAY.get();
        if (t == null && SystemTray.isSupported()) {
            try {
                t = SystemTray.getSystemTray();
            } catch (UnsupportedOperationException goneAgain) {
                return null;
            }
            if (TRAY.compareAndSet(null, t)) {
                t.addPropertyChangeListener("trayIcons", Keeping::iconsChanged);
                t.addPropertyChangeListener("systemTray", e -> {
                    if (e.getNewValue() != null)
                        tendIn(0);
                });
            }
        }
        return t;
    }

    // On the event dispatch thread, unless the icon has been kept again meanwhile.
    private static void takeOut(TrayIcon icon) {
        Runnable out = () -> {
            synchronized (LOCK) {
                for (Keeping k : KEPT)
                    if (k.icon == icon && k.wanted)
                        return;
            }
            SystemTray tray = TRAY.get();
            if (tray != null)
                remove(tray, icon);
        };
        if (EventQueue.isDispatchThread())
            out.run();
        else
            EventQueue.invokeLater(out);
    }

    private static void add(SystemTray tray, TrayIcon icon) throws AWTException {
        OWN.set(Boolean.TRUE);
        try {
            tray.add(icon);
        } finally {
            OWN.remove();
        }
    }

    private static void remove(SystemTray tray, TrayIcon icon) {
        OWN.set(Boolean.TRUE);
        try {
            tray.remove(icon);
        } finally {
            OWN.remove();
        }
    }

    // Inside SystemTray's add and remove, on their caller's thread. AWT on X11 takes an icon
    // out itself, in a task whose source is the icon, when its tray host goes away under it;
    // any other change is the application's.
    private static void iconsChanged(PropertyChangeEvent change) {
        if (OWN.get() != null)
            return;
        List<Object> before = Arrays.asList((Object[]) change.getOldValue());
        List<Object> after = Arrays.asList((Object[]) change.getNewValue());
        AWTEvent now = EventQueue.isDispatchThread() ? EventQueue.getCurrentEvent() : null;
        boolean dropped = false;
        synchronized (LOCK) {
            for (Keeping k : KEPT) {
                if (k.icon == null || before.contains(k.icon) == after.contains(k.icon))
                    continue;
                if (now instanceof InvocationEvent && now.getSource() == k.icon)
                    dropped = true;
                else
                    k.wanted = after.contains(k.icon);
            }
        }
        if (dropped)
            tendIn(0);
    }

    private static void tendIn(long ms) {
        synchronized (LOCK) {
            if (tending != null && tending.getDelay(TimeUnit.MILLISECONDS) <= ms)
                return;
            if (tending != null)
                tending.cancel(false);
            tending = WORKER.schedule(Keeping::tend, ms, TimeUnit.MILLISECONDS);
        }
    }

    // On the worker: every icon that is wanted and not in the tray, put in where it can be,
    // and another look after the shortest pause that one that could not asks for.
    private static void tend() {
        List<Keeping> all;
        synchronized (LOCK) {
            tending = null;
            all = new ArrayList<>(KEPT);
        }
        long next = Long.MAX_VALUE;
        for (Keeping k : all) {
            Boolean shown = k.show();
            if (Boolean.TRUE.equals(shown))
                k.putBack();
            else if (shown == null)
                next = Math.min(next, k.pause());
        }
        if (next != Long.MAX_VALUE)
            tendIn(next);
    }

    private long pause() {
        synchronized (LOCK) {
            return refusals == 0 ? LOOK_MS : FIRST_PAUSE_MS << Math.min(refusals - 1, 4);  // 0.5 s to 8 s
        }
    }

    private void putBack() {
        TrayIcon i = icon();
        LOG.fine("trayredraw: the keeper put the tray icon \"" + i.getToolTip() + "\" into the tray");
        tell(l -> l.iconPutBack(i));
    }

    private void tell(Consumer<TrayIconKeeper.Listener> news) {
        List<TrayIconKeeper> told;
        synchronized (LOCK) {
            told = new ArrayList<>(keepers);
        }
        told.forEach(k -> k.tell(news));
    }

    // On the worker, once per keeping: the helper only where AWT does not add the icon
    // again itself when Explorer restarts.
    private void useHelper() {
        if (!setup.windows) {
            LOG.fine("trayredraw: the helper, and " + Program.PROPERTY + ", serve Windows only; here the keeper puts"
                     + " the icon back itself when a tray host returns or another takes over");
            return;
        }
        if (Boolean.FALSE.equals(setup.elevated.get())) {
            LOG.fine("trayredraw: AWT adds the icon again itself when Explorer restarts; no helper is needed");
            return;
        }
        synchronized (setup.helped) {
            synchronized (LOCK) {
                if (keepers.isEmpty())
                    return;  // closed meanwhile
            }
            if (setup.client == null)
                setup.client = TrayRedrawClient.open(setup, () -> WORKER.execute(() -> redraw(setup)), reports(setup));
            setup.helped.add(this);
        }
    }

    // The client's news of the helper, for every keeper that it serves.
    private static TrayIconKeeper.Listener reports(Setup setup) {
        return new TrayIconKeeper.Listener() {
            @Override
            public void helperFailed(IOException why) {
                helped(setup).forEach(k -> k.tell(l -> l.helperFailed(why)));
            }

            @Override
            public void helperRecovered() {
                helped(setup).forEach(k -> k.tell(TrayIconKeeper.Listener::helperRecovered));
            }
        };
    }

    private static List<Keeping> helped(Setup setup) {
        synchronized (setup.helped) {
            return new ArrayList<>(setup.helped);
        }
    }

    // On the worker, when the helper says the taskbar has been created anew; the tending
    // that follows puts the icons back.
    private static void redraw(Setup setup) {
        SystemTray tray = TRAY.get();
        for (Keeping k : helped(setup)) {
            TrayIcon i = k.icon();
            if (tray != null && i != null && Arrays.asList(tray.getTrayIcons()).contains(i))
                remove(tray, i);
        }
        tendIn(0);
    }
}
