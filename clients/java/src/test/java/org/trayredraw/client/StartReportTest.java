// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.File;
import java.io.IOException;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.stream.Collectors;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * What the application hears when a launch fails. The shell plays a helper that refuses,
 * as the real one does when it runs elevated and the application does not, or one that
 * never ends.
 */
class StartReportTest {

    @RegisterExtension
    final LogCapture log = new LogCapture("org.trayredraw.client.TrayRedrawClient");

    @BeforeEach
    void aPosixShellPlaysTheHelper() {
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell plays the helper");
    }

    @Test
    void aRefusedStartAndStopAreReportedAsWarnings() throws Exception {
        // The command line becomes: sh -c "exit 2" HELPER start PORT
        List<String> refusing = Arrays.asList("/bin/sh", "-c", "exit 2");
        TrayRedrawClient client = TrayRedrawClient.open(refusing, "trayredraw.exe", 0, () -> {});
        assertTrue(ClientTest.eventually(() -> !log.records.isEmpty(), 10_000), "nothing was reported");
        LogRecord r = log.records.get(0);
        assertEquals(Level.WARNING, r.getLevel());
        assertTrue(r.getMessage().contains("port " + client.port()) && r.getMessage().contains("exit code 2")
                   && r.getMessage().contains("higher privileges"), r.getMessage());

        client.close();
        assertTrue(client.awaitStop(10_000), "the stop ended");
        r = log.records.get(log.records.size() - 1);
        assertEquals(Level.WARNING, r.getLevel());
        assertTrue(r.getMessage().contains("withdrawing port " + client.port() + " failed")
                   && r.getThrown().getMessage().contains("stop " + client.port() + " ended with exit code 2"),
                   r.getMessage() + " / " + r.getThrown());
    }

    @Test
    void aStopThatDoesNotEndIsReported() throws Exception {
        List<String> hanging = Arrays.asList("/bin/sh", "-c", "case \" $* \" in *\" stop \"*) sleep 5;; esac");
        long wait = TrayRedrawClient.launchWaitMs;
        TrayRedrawClient.launchWaitMs = 300;
        try {
            TrayRedrawClient client = TrayRedrawClient.open(hanging, "trayredraw.exe", 0, () -> {});
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

    // A virus scanner holding the fresh copy, a policy refusing a launch for a moment:
    // the keepers' client tries again, and says so once.
    @Test
    void aStartThatCannotBeLaunchedIsTriedAgain() throws Exception {
        AtomicInteger asked = new AtomicInteger();
        TrayRedrawClient.Program flaky = () -> {
            if (asked.incrementAndGet() <= 3)
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
}
