// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.AWTException;
import java.awt.EventQueue;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.awt.Window;
import java.awt.image.BufferedImage;
import java.io.Closeable;
import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.logging.Level;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * The keeper with a stand-in for the system tray and a clock the test moves on by hand,
 * and, where the test display has one, on a real tray.
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
    private final AtomicInteger registered = new AtomicInteger();
    private final AtomicInteger withdrawn = new AtomicInteger();
    // Runs on the library's thread: it records, and the test asserts on its own thread.
    private final TrayIconKeeper.Registrar registrar = onRedraw -> {
        registered.incrementAndGet();
        callback.set(onRedraw);
        return (Closeable) withdrawn::incrementAndGet;
    };

    @RegisterExtension
    final LogCapture log = new LogCapture("org.trayredraw.client.TrayIconKeeper");

    private static final TrayIconKeeper.Elevated ELEVATED = () -> Boolean.TRUE;

    // Keeps the icon in an elevated JVM, once the library's thread has registered it.
    private TrayIconKeeper keep() throws Exception {
        TrayIconKeeper keeper = TrayIconKeeper.keep(tray, ELEVATED, registrar, clock);
        TrayIconKeeper.awaitLibrary();
        return keeper;
    }

    @Test
    void eachRedrawAddsTheShownIconAgainOnTheEventThread() throws Exception {
        TrayIconKeeper keeper = keep();

        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("remove", "add"), tray.done);

        // An icon the application has taken away is not brought back.
        tray.shows = false;
        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("remove", "add"), tray.done);

        keeper.close();
        assertEquals(1, withdrawn.get(), "withdrawals");
    }

    // AWT's own window adds the icon again, except where the system keeps the shell's
    // announcement from it: in an elevated JVM. Where that cannot be told, the keeper acts.
    @Test
    void onlyAnElevatedOrUnknownJvmRegistersAndAddsAgain() throws Exception {
        for (Boolean elevated : new Boolean[] {Boolean.TRUE, null}) {
            tray.done.clear();
            callback.set(null);
            tray.shows = false;
            TrayIconKeeper keeper = TrayIconKeeper.add(tray, () -> elevated, registrar, clock);
            TrayIconKeeper.awaitLibrary();
            redrawFromTheClientsThread();
            assertEquals(Arrays.asList("add off the event thread", "remove", "add"), tray.done, "elevated: " + elevated);
            keeper.close();
        }
        assertEquals(2, withdrawn.get(), "withdrawals");

        tray.done.clear();
        tray.shows = false;
        TrayIconKeeper keeper = TrayIconKeeper.add(tray, () -> Boolean.FALSE, registrar, clock);
        TrayIconKeeper.awaitLibrary();
        assertEquals(Collections.singletonList("add off the event thread"), tray.done);
        assertEquals(2, registered.get(), "registrations after adding where AWT adds again itself");
        keeper.close();
        // Closed only once the library's thread has asked: closed before, it would ask nothing.
        keeper = TrayIconKeeper.keep(tray, () -> Boolean.FALSE, registrar, clock);
        TrayIconKeeper.awaitLibrary();
        assertEquals(2, registered.get(), "registrations after keeping where AWT adds again itself");
        keeper.close();
    }

    // Output of whoami /groups as Windows prints it, cut to the lines that matter: an
    // administrator's filtered token (Administrators for deny only), the same account
    // elevated, a service, a German system, medium plus, and output without any label;
    // and the token's groups as the JDK lists them.
    @Test
    void theMandatoryLabelTellsWhetherTheJvmRunsAboveTheShell() {
        String header = "GROUP INFORMATION\r\n-----------------\r\n\r\n"
                + "Group Name                             Type             SID          Attributes\r\n"
                + "====================================== ================ ============ ===============\r\n"
                + "Everyone                               Well-known group S-1-1-0      Mandatory group, Enabled by default, Enabled group\r\n";
        String filtered = header
                + "BUILTIN\\Administrators                 Alias            S-1-5-32-544 Group used for deny only\r\n"
                + "Mandatory Label\\Medium Mandatory Level Label            S-1-16-8192\r\n";
        String elevated = header
                + "BUILTIN\\Administrators                 Alias            S-1-5-32-544 Mandatory group, Enabled by default, Enabled group, Group owner\r\n"
                + "Mandatory Label\\High Mandatory Level   Label            S-1-16-12288\r\n";
        String system = header + "Mandatory Label\\System Mandatory Level Label            S-1-16-16384\r\n";
        String german = "Verbindliche Bezeichnung\\Hohe Verbindlichkeitsstufe Bezeichnung S-1-16-12288\r\n";
        String low = header + "Mandatory Label\\Low Mandatory Level    Label            S-1-16-4096\r\n";
        String mediumPlus = header + "Mandatory Label\\Medium Plus Mandatory Level Label       S-1-16-8448\r\n";
        assertEquals(Boolean.FALSE, Elevation.fromGroups(filtered));
        assertEquals(Boolean.TRUE, Elevation.fromGroups(elevated));
        assertEquals(Boolean.TRUE, Elevation.fromGroups(system));
        assertEquals(Boolean.TRUE, Elevation.fromGroups(german));
        assertEquals(Boolean.FALSE, Elevation.fromGroups(low));
        assertEquals(Boolean.TRUE, Elevation.fromGroups(mediumPlus));
        assertEquals(null, Elevation.fromGroups(header));
        assertEquals(null, Elevation.fromGroups(""));
        assertEquals(Boolean.TRUE, Elevation.fromGroups("S-1-1-0\nS-1-5-32-544\nS-1-16-12288"));
        assertEquals(Boolean.FALSE, Elevation.fromGroups("S-1-1-0\nS-1-5-32-545\nS-1-16-8192"));
    }

    // Where the JDK cannot tell, whoami is asked; one that hangs without writing is ended
    // when its time is up. And a question that has not come back by its deadline is
    // "unknown", at once for whoever asks after that: no later keeper waits behind it.
    @Test
    void aWhoamiThatHangsIsUnknownInBoundedTimeAndHoldsUpNoLaterKeeper(@TempDir Path root) throws Exception {
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell plays whoami");
        Path whoami = Files.createDirectory(root.resolve("System32")).resolve("whoami.exe");
        Files.write(whoami, Arrays.asList("#!/bin/sh", "echo $$ > \"$0.pid\"", "[ ! -e \"$0.hang\" ] || exec sleep 40",
                "echo 'Mandatory Label\\High Mandatory Level Label S-1-16-12288'"));
        assertTrue(whoami.toFile().setExecutable(true));
        assertEquals(Boolean.TRUE, Elevation.whoami(root, 10_000), "what a whoami that answers tells");

        Files.createFile(root.resolve("System32/whoami.exe.hang"));
        long started = System.nanoTime();
        assertNull(Elevation.whoami(root, 300), "what a whoami that hangs tells");
        assertTrue(System.nanoTime() - started < 5_000_000_000L, "whoami was waited for past its time");
        String pid = new String(Files.readAllBytes(root.resolve("System32/whoami.exe.pid")), "US-ASCII").trim();
        assertTrue(ClientTest.eventually(() -> !new File("/proc/" + pid).exists(), 5000), "whoami was not ended");

        CountDownLatch hangs = new CountDownLatch(1);
        Elevation.Question question = new Elevation.Question(() -> {
            hangs.await();
            return Boolean.TRUE;
        }, 300);
        try {
            assertNull(question.answer(), "the answer past the deadline");
            started = System.nanoTime();
            assertNull(question.answer(), "a later keeper's answer");
            assertTrue(System.nanoTime() - started < 100_000_000L, "a later keeper waited");
        } finally {
            hangs.countDown();
        }
    }

    // All keepers of the application share one registration, however many icons.
    @Test
    void keepersShareOneClientUntilTheLastLetsGo() throws Exception {
        List<String> opened = new CopyOnWriteArrayList<>();
        AtomicReference<Runnable> redraw = new AtomicReference<>();
        SharedClient shared = new SharedClient((program, onRedraw) -> {
            opened.add("open");
            redraw.set(onRedraw);
            return () -> opened.add("close");
        });
        AtomicInteger a = new AtomicInteger();
        AtomicInteger b = new AtomicInteger();
        Closeable first = shared.join(a::incrementAndGet, null);
        Closeable second = shared.join(b::incrementAndGet, null);
        redraw.get().run();
        assertEquals(Arrays.asList(1, 1), Arrays.asList(a.get(), b.get()), "redraws");
        first.close();
        first.close();
        redraw.get().run();
        assertEquals(Arrays.asList(1, 2), Arrays.asList(a.get(), b.get()), "redraws");
        assertEquals(Collections.singletonList("open"), opened);
        second.close();
        assertEquals(Arrays.asList("open", "close"), opened);
        shared.join(a::incrementAndGet, null).close();
        assertEquals(Arrays.asList("open", "close", "open", "close"), opened);
    }

    @Test
    void addTriesOnTheCallersThreadAndRetriesARefusalOnTheEventThread() throws Exception {
        tray.shows = false;
        tray.refusals = 1;
        TrayIconKeeper keeper = TrayIconKeeper.add(tray, ELEVATED, registrar, clock);
        assertEquals(Collections.singletonList("refused off the event thread"), tray.done, "done within add");
        TrayIconKeeper.awaitLibrary();
        assertTrue(clock.pass());
        assertEquals(Arrays.asList("refused off the event thread", "add"), tray.done);
        assertEquals(Collections.singletonList(500L), clock.asked, "pauses in ms");

        // And it is kept.
        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("refused off the event thread", "add", "remove", "add"), tray.done);
        keeper.close();
        assertEquals(1, withdrawn.get(), "withdrawals");
    }

    // One registration and one re-add per redraw, however often the icon is added or
    // kept; closing one keeper leaves the other's keeping.
    @Test
    void anIconKeptTwiceIsKeptOnceUntilItsLastKeeperCloses() throws Exception {
        TrayIconKeeper first = keep();
        TrayIconKeeper second = TrayIconKeeper.add(tray, ELEVATED, registrar, clock);
        TrayIconKeeper.awaitLibrary();
        assertEquals(1, registered.get(), "registrations");
        first.close();
        redrawFromTheClientsThread();
        assertEquals(Arrays.asList("remove", "add"), tray.done);
        assertEquals(0, withdrawn.get(), "withdrawals while a keeper is open");
        second.close();
        assertEquals(1, withdrawn.get(), "withdrawals");
    }

    // As SystemTray.add: the icon is in the tray when add returns, so a message right
    // after it is shown (AWT drops it for an icon not yet in a tray), and an icon removed
    // right after add stays removed.
    @Test
    void onARealTrayTheIconIsInWhenAddReturns() throws Exception {
        WineDesktop.requireTray();
        SystemTray system = SystemTray.getSystemTray();
        TrayIcon icon = new TrayIcon(new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB), "kept");
        TrayIcon removed = new TrayIcon(new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB), "removed");
        TrayIconKeeper keeper = TrayIconKeeper.add(icon);
        TrayIconKeeper other = null;
        try {
            assertTrue(Arrays.asList(system.getTrayIcons()).contains(icon), "in the tray when add returned");
            icon.displayMessage("trayredraw", "kept", TrayIcon.MessageType.INFO);
            // On X11 a message shows as a balloon window.
            assertTrue(ClientTest.eventually(() -> Arrays.stream(Window.getWindows())
                    .anyMatch(w -> w.isShowing() && w.getClass().getName().endsWith("Balloon")), 5000), "no message");
            other = TrayIconKeeper.add(removed);
            system.remove(removed);
            EventQueue.invokeAndWait(() -> {});
            assertFalse(Arrays.asList(system.getTrayIcons()).contains(removed), "the removed icon is back");
        } finally {
            keeper.close();
            if (other != null)
                other.close();
            system.remove(icon);
        }
    }

    @Test
    void aReAddRefusedTwiceIsAcceptedAtTheThirdAttempt() throws Exception {
        TrayIconKeeper keeper = keep();
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
        TrayIconKeeper keeper = keep();
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
        TrayIconKeeper keeper = keep();
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
