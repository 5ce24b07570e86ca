// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.AWTException;
import java.awt.EventQueue;
import java.io.Closeable;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.logging.Level;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

/**
 * The keeper with a stand-in for the system tray, which a virtual display lacks, and a
 * clock the test moves on by hand.
 */
class TrayIconKeeperTest {

    /** Records what is done to the icon, and whether on the event thread; refuses adds while told to. */
    private static final class StandInTray implements TrayIconKeeper.Tray {
        final List<String> done = Collections.synchronizedList(new ArrayList<>());
        volatile boolean shows = true;
        volatile int refusals;  // adds still to refuse, as a taskbar that is not ready does

        @Override
        public boolean shows() {
            return shows;
        }

        @Override
        public void remove() {
            done.add("remove" + where());
            shows = false;
        }

        @Override
        public void add() throws AWTException {
            if (refusals > 0) {
                refusals--;
                done.add("refused" + where());
                throw new AWTException("the taskbar is not ready");
            }
            done.add("add" + where());
            shows = true;
        }

        private static String where() {
            return EventQueue.isDispatchThread() ? "" : " off the event thread";
        }
    }

    /** The pauses the keeper asks for, and the attempts waiting for theirs to pass. */
    private static final class HandClock implements TrayIconKeeper.Pauses {
        final List<Long> asked = Collections.synchronizedList(new ArrayList<>());
        final List<Runnable> waiting = new CopyOnWriteArrayList<>();

        @Override
        public Runnable after(long ms, Runnable task) {
            asked.add(ms);
            waiting.add(task);
            return () -> waiting.remove(task);
        }

        /** Lets the pause pass and runs the attempt on the event thread; false when none waits. */
        boolean pass() throws Exception {
            assertTrue(waiting.size() <= 1, "attempts waiting at once: " + waiting.size());
            if (waiting.isEmpty())
                return false;
            EventQueue.invokeAndWait(waiting.remove(0));
            return true;
        }
    }

    private final StandInTray tray = new StandInTray();
    private final HandClock clock = new HandClock();
    private final AtomicReference<Runnable> callback = new AtomicReference<>();
    private final AtomicInteger withdrawn = new AtomicInteger();
    private final TrayIconKeeper.Registrar registrar = onRedraw -> {
        callback.set(onRedraw);
        return (Closeable) withdrawn::incrementAndGet;
    };

    @RegisterExtension
    final LogCapture log = new LogCapture("org.trayredraw.client.TrayIconKeeper");

    @Test
    void eachRedrawAddsTheShownIconAgainOnTheEventThread() throws Exception {
        TrayIconKeeper keeper = TrayIconKeeper.keep(tray, true, registrar);

        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("remove", "add"), tray.done);

        // An icon the application has taken away is not brought back.
        tray.shows = false;
        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("remove", "add"), tray.done);

        keeper.close();
        assertEquals(1, withdrawn.get(), "withdrawals");
    }

    @Test
    void elsewhereNothingIsRegisteredAndAddOnlyAdds() throws Exception {
        TrayIconKeeper.keep(tray, false, onRedraw -> fail("registered")).close();

        tray.shows = false;
        TrayIconKeeper keeper = TrayIconKeeper.add(tray, false, onRedraw -> fail("registered"), clock);
        EventQueue.invokeAndWait(() -> {});
        assertEquals(Collections.singletonList("add"), tray.done);
        keeper.close();
    }

    @Test
    void addPutsTheIconInLaterOnTheEventThreadAndRetriesARefusal() throws Exception {
        tray.shows = false;
        tray.refusals = 1;
        AtomicReference<TrayIconKeeper> keeper = new AtomicReference<>();
        // Called on the event thread itself, add must leave the adding for later: it
        // neither holds up its caller nor adds an icon the caller has not finished with.
        EventQueue.invokeAndWait(() -> {
            keeper.set(TrayIconKeeper.add(tray, true, registrar, clock));
            assertEquals(Collections.emptyList(), tray.done, "done within add");
        });
        EventQueue.invokeAndWait(() -> {});
        assertEquals(Collections.singletonList("refused"), tray.done);
        assertTrue(clock.pass());
        assertEquals(Arrays.asList("refused", "add"), tray.done);
        assertEquals(Collections.singletonList(500L), clock.asked, "pauses in ms");

        // And it is kept.
        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("refused", "add", "remove", "add"), tray.done);
        keeper.get().close();
        assertEquals(1, withdrawn.get(), "withdrawals");
    }

    @Test
    void aReAddRefusedTwiceIsAcceptedAtTheThirdAttempt() throws Exception {
        TrayIconKeeper keeper = TrayIconKeeper.keep(tray, true, registrar, clock);
        tray.refusals = 2;
        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("remove", "refused"), tray.done);
        assertTrue(clock.pass());
        assertTrue(clock.pass());
        assertFalse(clock.pass(), "an attempt after the icon was added");
        assertEquals(Arrays.asList("remove", "refused", "refused", "add"), tray.done);
        assertEquals(Arrays.asList(500L, 1000L), clock.asked, "pauses in ms");
        assertEquals(Collections.emptyList(), log.records, "logged");
        keeper.close();
    }

    @Test
    void aReAddRefusedForGoodIsGivenUpWithOneWarningAndTriedAgainAtTheNextRedraw() throws Exception {
        TrayIconKeeper keeper = TrayIconKeeper.keep(tray, true, registrar, clock);
        tray.refusals = Integer.MAX_VALUE;
        redrawFromTheClientsThread();
        assertTrue(clock.pass());
        assertTrue(clock.pass());
        // A new taskbar while the keeper waits starts afresh, not beside the old round.
        redrawFromTheClientsThread();
        while (clock.pass())
            continue;
        assertEquals(Arrays.asList(500L, 1000L, 2000L, 500L, 1000L, 2000L, 4000L, 8000L, 8000L, 8000L),
                     clock.asked, "pauses in ms");
        assertEquals(3 + 8, tray.done.stream().filter("refused"::equals).count(), "refused adds");
        assertEquals(1, log.records.size(), "records logged");
        assertEquals(Level.WARNING, log.records.get(0).getLevel());
        assertTrue(log.records.get(0).getMessage().contains("8 times in 31.5 s"), log.records.get(0).getMessage());

        // The keeper took the icon out of the tray itself: it still counts as shown.
        tray.refusals = 0;
        tray.done.clear();
        redrawFromTheClientsThread();
        assertEquals(Collections.singletonList("add"), tray.done);
        keeper.close();
    }

    @Test
    void closeStopsTheRetries() throws Exception {
        TrayIconKeeper keeper = TrayIconKeeper.keep(tray, true, registrar, clock);
        tray.refusals = Integer.MAX_VALUE;
        redrawFromTheClientsThread();
        Runnable waiting = clock.waiting.get(0);
        keeper.close();
        assertFalse(clock.pass(), "an attempt still waits");
        // Even an attempt whose timer fired as the keeper closed adds nothing.
        EventQueue.invokeAndWait(waiting);
        assertEquals(Arrays.asList("remove", "refused"), tray.done);
        assertEquals(1, withdrawn.get(), "withdrawals");
    }

    private void redrawFromTheClientsThread() throws Exception {
        Thread client = new Thread(callback.get(), "trayredraw-callback");
        client.start();
        client.join();
        EventQueue.invokeAndWait(() -> {});  // what the callback handed over has run
    }
}
