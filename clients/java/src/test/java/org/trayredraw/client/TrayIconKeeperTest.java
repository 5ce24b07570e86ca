// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.EventQueue;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.awt.Window;
import java.awt.image.BufferedImage;
import java.io.File;
import java.net.DatagramSocket;
import java.net.InetSocketAddress;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * The keeper on a real tray (trayer, on the test display), with the helper played by a
 * shell that records what it is asked, and the system's answers given by the test.
 */
class TrayIconKeeperTest {

    @RegisterExtension
    final LogCapture log = new LogCapture("org.trayredraw.client.TrayIconKeeper");
    private final List<TrayIconKeeper> keepers = new ArrayList<>();

    @AfterEach
    void closeKeepers() {
        keepers.forEach(TrayIconKeeper::close);
    }

    private static TrayIcon icon(String name) {
        return new TrayIcon(new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB), name);
    }

    private static boolean inTray(TrayIcon icon) {
        return Arrays.asList(SystemTray.getSystemTray().getTrayIcons()).contains(icon);
    }

    private TrayIconKeeper kept(TrayIconKeeper keeper) {
        keepers.add(keeper);
        return keeper;
    }

    // As SystemTray.add: the icon is in the tray when add returns, so a message right after
    // it is shown (AWT drops it for an icon not yet in a tray), and one removed right after
    // add stays removed. An icon already in the tray is kept as it is, once however often it
    // is added, until its last keeper takes it out.
    @Test
    void onARealTrayTheIconIsInWhenAddReturnsAndOutWhenItsLastKeeperCloses() throws Exception {
        WineDesktop.requireTray();
        SystemTray system = SystemTray.getSystemTray();
        TrayIcon icon = icon("kept");
        TrayIconKeeper keeper = kept(TrayIconKeeper.add(icon));
        assertTrue(inTray(icon), "in the tray when add returned");
        icon.displayMessage("trayredraw", "kept", TrayIcon.MessageType.INFO);
        // On X11 a message shows as a balloon window.
        assertTrue(ClientTest.eventually(() -> Arrays.stream(Window.getWindows())
                .anyMatch(w -> w.isShowing() && w.getClass().getName().endsWith("Balloon")), 5000), "no message");
        TrayIcon removed = icon("removed");
        kept(TrayIconKeeper.add(removed));
        system.remove(removed);
        EventQueue.invokeAndWait(() -> {});
        assertFalse(inTray(removed), "the removed icon is back");

        TrayIcon own = icon("added by the application");
        system.add(own);
        TrayIconKeeper first = kept(TrayIconKeeper.add(own));
        TrayIconKeeper second = kept(TrayIconKeeper.add(own));
        first.close();
        EventQueue.invokeAndWait(() -> {});  // where a keeper takes its icon out
        assertTrue(inTray(own), "taken out while another keeper keeps it");
        second.close();
        keeper.close();
        EventQueue.invokeAndWait(() -> {});
        assertFalse(inTray(own) || inTray(icon), "left in the tray by its last keeper");
    }

    // An icon made by the keeper, once a tray is there: here at once, on the calling thread.
    @Test
    void anIconMadeByTheKeeperIsInTheTrayWhenAddReturns() throws Exception {
        WineDesktop.requireTray();
        TrayIcon[] made = new TrayIcon[1];
        kept(TrayIconKeeper.add(() -> made[0] = icon("made"), null));
        assertTrue(inTray(made[0]), "in the tray when add returned");
        kept(TrayIconKeeper.add(() -> {
            throw new IllegalStateException("no image");
        }, null));
        assertEquals("no image", log.records.get(0).getThrown().getMessage());
    }

    // Only where AWT does not add its icons again itself, in an elevated JVM on Windows (or
    // one that cannot tell), is the helper launched: one client for every icon, answered by
    // putting each back, and withdrawn after the last keeper.
    @Test
    void theHelperServesOnlyAnElevatedJvmOnWindowsAndAllItsIconsOnce(@TempDir Path dir) throws Exception {
        WineDesktop.requireTray();
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell plays the helper");
        TestSetup setup = new TestSetup();
        setup.launcher = Arrays.asList("/bin/sh", "-c", "echo \"$*\" >> '" + dir.resolve("commands") + "'");
        setup.properties.put(Program.PROPERTY, Files.createFile(dir.resolve("trayredraw.exe")).toString());
        for (Boolean elevated : new Boolean[] {false, null}) {
            setup.windows = elevated != null;
            setup.elevated = elevated;
            kept(Keeping.keep(setup.build(), icon("not elevated or not Windows"), null, null));
        }
        Keeping.awaitWorker();
        TrayRedrawClient.awaitLane();
        assertFalse(Files.exists(dir.resolve("commands")), "launched where AWT adds again itself");

        setup.windows = true;
        setup.elevated = true;
        Setup elevated = setup.build();
        TestSetup.Heard heard = new TestSetup.Heard();
        TrayIcon a = icon("a");
        TrayIcon b = icon("b");
        TrayIconKeeper first = kept(Keeping.keep(elevated, a, null, heard));
        TrayIconKeeper second = kept(Keeping.keep(elevated, b, null, heard));
        Keeping.awaitWorker();
        TrayRedrawClient.awaitLane();
        String port = String.valueOf(elevated.client.port());
        assertEquals(Collections.singletonList("start " + port), Files.readAllLines(dir.resolve("commands")));
        try (DatagramSocket helper = new DatagramSocket(new InetSocketAddress(ClientTest.loopback(), 0))) {
            ClientTest.send(helper, new InetSocketAddress(ClientTest.loopback(), Integer.parseInt(port)), "redrawtray\0");
            assertEquals("redrawok\0", ClientTest.receive(helper, 5000));
        }
        assertTrue(ClientTest.eventually(() -> heard.news.size() == 2, 10_000), "heard: " + heard.news);
        assertTrue(inTray(a) && inTray(b), "both in the tray");
        first.close();
        TrayRedrawClient.awaitLane();
        assertEquals(1, Files.readAllLines(dir.resolve("commands")).size(), "launched while a keeper is open");
        second.close();
        TrayRedrawClient.awaitLane();
        assertEquals(Arrays.asList("start " + port, "start " + port, "stop " + port),
                     Files.readAllLines(dir.resolve("commands")));
    }

    // The token's group SIDs as the JDK lists them: an administrator's filtered token, the
    // same account elevated, a service, medium plus, low, and none with a label.
    @Test
    void theMandatoryLabelTellsWhetherTheJvmRunsAboveTheShell() {
        assertEquals(Boolean.FALSE, Elevation.fromGroups("S-1-1-0", "S-1-5-32-544", "S-1-16-8192"));
        assertEquals(Boolean.TRUE, Elevation.fromGroups("S-1-1-0", "S-1-5-32-544", "S-1-16-12288"));
        assertEquals(Boolean.TRUE, Elevation.fromGroups("S-1-5-18", "S-1-16-16384"));
        assertEquals(Boolean.TRUE, Elevation.fromGroups("S-1-5-32-545", "S-1-16-8448"));
        assertEquals(Boolean.FALSE, Elevation.fromGroups("S-1-5-32-545", "S-1-16-4096"));
        assertNull(Elevation.fromGroups("S-1-1-0", "S-1-5-32-545"));
        assertNull(Elevation.fromGroups());
    }

    // A question that has not come back by its deadline is "cannot tell", at once for
    // whoever asks after that: no later keeper waits behind it.
    @Test
    void anAnswerThatHangsIsUnknownInBoundedTimeAndHoldsUpNoOne() throws Exception {
        CountDownLatch hangs = new CountDownLatch(1);
        java.util.concurrent.FutureTask<Boolean> question = new java.util.concurrent.FutureTask<>(() -> {
            hangs.await();
            return Boolean.TRUE;
        });
        new Thread(question).start();
        long deadline = System.nanoTime() + 300_000_000L;
        try {
            assertNull(Elevation.answer(question, deadline), "the answer past the deadline");
            long started = System.nanoTime();
            assertNull(Elevation.answer(question, deadline), "a later keeper's answer");
            assertTrue(System.nanoTime() - started < 100_000_000L, "a later keeper waited");
        } finally {
            hangs.countDown();
        }
    }
}
