// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.UncheckedIOException;
import java.net.DatagramSocket;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.stream.Collectors;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * The client against a shell that plays the helper: one that refuses, as the real one
 * does when it runs elevated and the application does not, one that never ends, or one
 * that only records the commands it is given.
 */
class StartReportTest {

    private static final TrayRedrawClient.Program HELPER = () -> Paths.get("trayredraw.exe");

    @RegisterExtension
    final LogCapture log = new LogCapture("org.trayredraw.client.TrayRedrawClient");

    @TempDir
    Path dir;

    @BeforeEach
    void aPosixShellPlaysTheHelper() {
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell plays the helper");
    }

    // The command line becomes: sh -c SCRIPT HELPER COMMAND...; each command is recorded
    // in the file "commands", then SCRIPT's `then` runs.
    private List<String> standIn(String then) {
        return Arrays.asList("/bin/sh", "-c", "echo \"$*\" >> '" + dir.resolve("commands") + "'; " + then);
    }

    private List<String> commands() {
        Path record = dir.resolve("commands");
        try {
            return Files.exists(record) ? Files.readAllLines(record) : Collections.<String>emptyList();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    @Test
    void refusedStartsAreOneWarningAndTheirPortIsNotWithdrawn() throws Exception {
        TrayRedrawClient client = TrayRedrawClient.open(standIn("exit 2"), HELPER, 0, () -> {});
        client.renewEvery(Duration.ofMillis(50));
        assertTrue(ClientTest.eventually(() -> !log.records.isEmpty(), 10_000), "nothing was reported");
        assertTrue(ClientTest.eventually(() -> commands().size() >= 4, 10_000), "starts: " + commands());
        Thread.sleep(300);  // the refusals have been reported
        client.close();
        assertTrue(client.awaitStop(10_000), "the stop ended");
        LogRecord r = log.records.get(0);
        assertEquals(Level.WARNING, r.getLevel());
        assertTrue(r.getMessage().contains("port " + client.port()) && r.getMessage().contains("exit code 2")
                   && r.getMessage().contains("higher privileges"), r.getMessage());
        assertEquals(1, log.records.size(), "records for a run of refusals: " + log.records);
        assertFalse(commands().contains("stop " + client.port()), "a stop for a port never registered");
    }

    @Test
    void aStopThatDoesNotEndIsReported() throws Exception {
        List<String> hanging = Arrays.asList("/bin/sh", "-c", "case \" $* \" in *\" stop \"*) sleep 5;; esac");
        long wait = TrayRedrawClient.launchWaitMs;
        TrayRedrawClient.launchWaitMs = 300;
        try {
            TrayRedrawClient client = TrayRedrawClient.open(hanging, HELPER, 0, () -> {});
            client.close();
            assertTrue(client.awaitStop(10_000), "the stop's wait ended");
            assertEquals(1, log.records.size(), "records: " + log.records);
            LogRecord r = log.records.get(0);
            assertEquals(Level.WARNING, r.getLevel());
            assertTrue(r.getMessage().contains("stop " + client.port() + " had not ended after 0.3 s"), r.getMessage());
        } finally {
            TrayRedrawClient.launchWaitMs = wait;
        }
    }

    // A virus scanner holding the fresh copy, a policy refusing a launch for a moment, a
    // program path that is no path: the keepers' client tries again, and says so once.
    @Test
    void aStartThatCannotBeLaunchedIsTriedAgain() throws Exception {
        AtomicInteger asked = new AtomicInteger();
        TrayRedrawClient.Program flaky = () -> {
            if (asked.incrementAndGet() == 1)
                return Paths.get("bad\0path");
            if (asked.get() <= 3)
                throw new IOException("the copy is in use");
            return Paths.get("trayredraw.exe");
        };
        long first = TrayRedrawClient.firstRetryMs;
        TrayRedrawClient.firstRetryMs = 20;
        try {
            TrayRedrawClient client = TrayRedrawClient.openRetrying(Arrays.asList("/bin/sh", "-c", "exit 0"), flaky,
                                                                    () -> {});
            assertTrue(ClientTest.eventually(() -> client.registration() != null, 10_000), "no start was launched");
            client.close();
            assertTrue(client.awaitStop(10_000), "the stop ended");
            assertEquals(5, asked.get(), "programs asked for: three failures, the start, the stop");
            assertEquals(1, log.records.stream().filter(r -> r.getLevel() == Level.WARNING).count(),
                         "warnings: " + log.records);
        } finally {
            TrayRedrawClient.firstRetryMs = first;
        }
    }

    // An elevated JVM with no folder that only administrators can change (a service's, say,
    // whose environment names none): nothing is launched, and the application is told once
    // why and what to do, however often the start is tried again.
    @Test
    void noSafePlaceMeansNoLaunchAndOneWarning() throws Exception {
        AtomicInteger asked = new AtomicInteger();
        TrayRedrawClient.Program none = PackedHelper.program(() -> asked.incrementAndGet() > 0, name -> null,
                                                             new PackedHelperTest.StandInAcls());
        long first = TrayRedrawClient.firstRetryMs;
        TrayRedrawClient.firstRetryMs = 20;
        try {
            TrayRedrawClient client = TrayRedrawClient.openRetrying(Arrays.asList("/bin/sh", "-c", "exit 0"), none,
                                                                    () -> {});
            assertTrue(ClientTest.eventually(() -> asked.get() >= 4, 10_000), "tried again: " + asked.get());
            assertNull(client.registration(), "a start was launched");
            List<LogRecord> warnings = log.records.stream().filter(r -> r.getLevel() == Level.WARNING)
                                                  .collect(Collectors.toList());
            assertEquals(1, warnings.size(), "warnings: " + log.records);
            String why = warnings.get(0).getThrown().getMessage();
            assertTrue(why.contains("runs elevated") && why.contains("system property trayredraw.program"), why);
            client.close();
            assertTrue(client.awaitStop(10_000), "the stop ended");
        } finally {
            TrayRedrawClient.firstRetryMs = first;
        }
    }

    // As -Dtrayredraw.program="C:\App\trayredraw.exe", quotes and all, on Windows.
    @Test
    void aProgramThatIsNoPathFailsOpenWithAnIOExceptionAndLeavesNothingBound() throws Exception {
        int port = ClientTest.freePort();
        System.setProperty("trayredraw.program", "bad\0path");
        try {
            assertThrows(IOException.class, () -> TrayRedrawClient.open(Arrays.asList("/bin/sh", "-c", "exit 0"),
                    TrayRedrawClient.program(null), port, () -> {}));
        } finally {
            System.clearProperty("trayredraw.program");
        }
        new DatagramSocket(new InetSocketAddress(ClientTest.loopback(), port)).close();
        assertFalse(Thread.getAllStackTraces().keySet().stream().anyMatch(t -> t.getName().endsWith("-" + port)),
                    "a thread of the failed client lives on");
    }

    @Test
    void theOldPortAnswersUntilTheChangeIsHandledAndACloseMeanwhileWithdrawsTheNewOne() throws Exception {
        // The change takes a second, as with a helper that serves a slow client meanwhile.
        Path changing = dir.resolve("changing");
        TrayRedrawClient client = TrayRedrawClient.open(
                standIn("[ \"$1\" != change ] || { touch '" + changing + "'; sleep 1; }"), HELPER, 0, () -> {});
        int old = client.port();
        Thread move = new Thread(() -> {
            try {
                client.moveTo(0);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        });
        move.start();
        assertTrue(ClientTest.eventually(() -> Files.exists(changing), 10_000), "no change was launched");
        try (DatagramSocket peer = new DatagramSocket(new InetSocketAddress(ClientTest.loopback(), 0))) {
            ClientTest.send(peer, new InetSocketAddress(ClientTest.loopback(), old), "redrawtray\0");
            assertEquals("redrawok\0", ClientTest.receive(peer, 2000), "the old port's answer during the change");
        }
        client.close();
        move.join(10_000);
        assertTrue(client.awaitStop(10_000), "the stop ended");
        int moved = client.port();
        assertEquals(Arrays.asList("start " + old, "change " + old + " " + moved, "stop " + moved), commands());
    }

    // An application killed leaves its ports registered; it takes them back when it runs
    // again, from whatever folder, and a client opened right after another was closed
    // takes its port back once the helper has handled the stop.
    @Test
    void theApplicationsPortsAreTheSameFromAnyFolderAndAfterCloseAndOpen() throws Exception {
        List<String> runs = new ArrayList<>();
        for (String folder : new String[] {"System32", "App"}) {
            Process app = ClientTest.forgetfulApp(Files.createDirectory(dir.resolve(folder)).toFile(), 2,
                                                  "trayredraw.exe", Arrays.asList("/bin/sh", "-c", "exit 0"));
            try {
                runs.add(new BufferedReader(new InputStreamReader(app.getInputStream(), StandardCharsets.US_ASCII))
                        .readLine());
            } finally {
                app.destroyForcibly().waitFor();
            }
        }
        // Each of the two clients has a port of the application's own, not one the
        // system picks, which a killed run would leave behind.
        assertEquals(runs.get(0), runs.get(1), "the ports of the second run");
        assertEquals(3, runs.get(0).split(" ").length, runs.get(0));

        List<String> slowStop = standIn("[ \"$1\" != stop ] || sleep 0.5");
        TrayRedrawClient first = TrayRedrawClient.open(slowStop, HELPER, 0, () -> {});
        first.close();
        TrayRedrawClient again = TrayRedrawClient.open(slowStop, HELPER, 0, () -> {});
        again.close();
        assertTrue(again.awaitStop(10_000), "the stop ended");
        String port = String.valueOf(first.port());
        assertEquals(Arrays.asList("start " + port, "stop " + port, "start " + port, "stop " + port), commands());
    }
}
