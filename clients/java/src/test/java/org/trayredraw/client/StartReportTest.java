// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.stream.Collectors;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.io.TempDir;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * The client against a shell that plays the helper: one that records the commands it is
 * given, and then answers as the file "answer" says, or hangs, or stays.
 */
class StartReportTest {

    @RegisterExtension
    final LogCapture log = new LogCapture("org.trayredraw.client.TrayRedrawClient");

    @TempDir
    Path dir;
    private final TestSetup setup = new TestSetup();
    private final TestSetup.Heard heard = new TestSetup.Heard();
    private final List<String> reported = heard.news;

    @BeforeEach
    void aPosixShellPlaysTheHelper() throws IOException {
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell plays the helper");
        setup.properties.put(Program.PROPERTY, dir.resolve("trayredraw.exe").toString());
        Files.createFile(dir.resolve("trayredraw.exe"));
        playedBy("exit $(cat '" + dir.resolve("answer") + "' 2>/dev/null || echo 0)");
    }

    // The command line becomes: sh -c SCRIPT HELPER COMMAND...; each command is recorded
    // in the file "commands", then SCRIPT's `then` runs.
    private void playedBy(String then) {
        setup.launcher = Arrays.asList("/bin/sh", "-c", "echo \"$*\" >> '" + dir.resolve("commands") + "'; " + then);
    }

    private List<String> commands() {
        Path record = dir.resolve("commands");
        try {
            return Files.exists(record) ? Files.readAllLines(record) : Collections.<String>emptyList();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    // An episode of failure (launches that fail, then starts that are refused with exit
    // code 2) is one WARNING and one report, however often the start is tried again; its
    // end is one INFO. A port the helper never took hears no stop.
    @Test
    void eachEpisodeOfFailureIsOneWarningAndItsEndOneLine() throws Exception {
        setup.renewMs = 50;
        setup.retryMs = 10;
        Files.delete(dir.resolve("trayredraw.exe"));  // the copy held by a virus scanner, say
        TrayRedrawClient client = TrayRedrawClient.open(setup.build(), () -> {}, heard);
        Thread.sleep(1000);
        Files.createFile(dir.resolve("trayredraw.exe"));
        assertTrue(ClientTest.eventually(() -> reported.contains("recovered"), 10_000), "reported: " + reported);
        Files.write(dir.resolve("answer"), "2".getBytes(StandardCharsets.US_ASCII));
        assertTrue(ClientTest.eventually(() -> reported.size() == 3, 10_000), "reported: " + reported);
        int starts = commands().size();
        Thread.sleep(1000);
        assertTrue(commands().size() > starts + 5, "starts tried again: " + commands());
        client.close();
        assertTrue(client.awaitWithdrawn(10_000), "the withdrawal ended");
        assertEquals(Arrays.asList("failed", "recovered", "failed"), reported);
        assertEquals(Arrays.asList(Level.WARNING, Level.INFO, Level.WARNING),
                     log.records.stream().map(LogRecord::getLevel).filter(l -> l.intValue() >= Level.INFO.intValue())
                             .collect(Collectors.toList()), "records: " + log.records);
        assertTrue(log.records.get(log.records.size() - 1).getMessage().contains("exit code 2"));
        assertEquals(Collections.emptyList(), commands().stream().filter(c -> c.startsWith("stop"))
                .collect(Collectors.toList()), "a stop for a port the helper never took");
    }

    // A start that has not ended became the resident helper, or waits on a window that
    // does not answer: no other start is launched beside it, however often it is renewed.
    @Test
    void noStartBesideOneThatStillRuns() throws Exception {
        playedBy("case \" $* \" in *\" start \"*) sleep 3;; esac");
        setup.renewMs = 50;
        setup.settleMs = 200;
        TrayRedrawClient client = TrayRedrawClient.open(setup.build(), () -> {}, heard);
        Thread.sleep(1500);
        client.close();
        assertTrue(client.awaitWithdrawn(10_000), "the withdrawal ended");
        String port = String.valueOf(client.port());
        assertEquals(Arrays.asList("start " + port, "stop " + port), commands());
        assertEquals(Collections.emptyList(), reported);
    }

    @Test
    void aStopThatDoesNotEndIsReported() throws Exception {
        playedBy("case \" $* \" in *\" stop \"*) sleep 5;; esac");
        setup.stopWaitMs = 300;
        TrayRedrawClient client = TrayRedrawClient.open(setup.build(), () -> {}, null);
        TrayRedrawClient.awaitLane();
        client.close();
        assertTrue(client.awaitWithdrawn(10_000), "the withdrawal's wait ended");
        assertEquals(1, log.records.size(), "records: " + log.records);
        LogRecord r = log.records.get(0);
        assertEquals(Level.WARNING, r.getLevel());
        assertTrue(r.getMessage().contains("stop " + client.port() + " had not ended after 0.3 s"), r.getMessage());
    }

    // An elevated JVM with no folder that only administrators may change (a service's, say,
    // whose environment names none): nothing is launched, and the application is told once
    // why and what to do, however often the start is tried again.
    @Test
    void noSafePlaceMeansNoLaunchAndOneWarning() throws Exception {
        setup.elevated = null;
        setup.properties.clear();
        setup.retryMs = 10;
        TrayRedrawClient client = TrayRedrawClient.open(setup.build(), () -> {}, heard);
        Thread.sleep(500);
        client.close();
        assertTrue(client.awaitWithdrawn(10_000), "the withdrawal ended");
        assertEquals(Collections.emptyList(), commands(), "launched");
        assertEquals(Collections.singletonList("failed"), reported);
        assertEquals(1, log.records.stream().filter(r -> r.getLevel() == Level.WARNING).count(), "" + log.records);
        String why = log.records.get(0).getThrown().getMessage();
        assertTrue(why.contains("runs elevated") && why.contains("system property trayredraw.program"), why);
    }

    // An application killed leaves its ports registered; it takes them back when it runs
    // again, from whatever folder. A client opened right after another was closed takes its
    // port back once the stop is done, and launches nothing before it.
    @Test
    void theApplicationsPortsAreTheSameFromAnyFolderAndAfterCloseAndOpen() throws Exception {
        List<String> runs = new ArrayList<>();
        for (String folder : new String[] {"System32", "App"}) {
            Process app = ClientTest.forgetfulApp(Files.createDirectory(dir.resolve(folder)).toFile(), "2",
                    dir.resolve("trayredraw.exe").toString(), Arrays.asList("/bin/sh", "-c", "exit 0"));
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

        playedBy("[ \"$1\" != stop ] || sleep 0.5");
        TrayRedrawClient first = TrayRedrawClient.open(setup.build(), () -> {}, null);
        TrayRedrawClient.awaitLane();
        first.close();
        TrayRedrawClient again = TrayRedrawClient.open(setup.build(), () -> {}, null);
        TrayRedrawClient.awaitLane();
        again.close();
        assertTrue(again.awaitWithdrawn(10_000), "the withdrawal ended");
        String port = String.valueOf(first.port());
        assertEquals(Collections.nCopies(2, Arrays.asList("start " + port, "start " + port, "stop " + port))
                             .stream().flatMap(List::stream).collect(Collectors.toList()), commands());
        assertEquals(port, String.valueOf(again.port()));
    }

    // Once the JVM has begun to exit, no client can be opened; nothing may be launched
    // then, or a port would stay registered that no one withdraws.
    @Test
    void aClientOpenedAsTheJvmExitsLaunchesNothing() throws Exception {
        Process app = ClientTest.forgetfulApp(null, "late", dir.resolve("trayredraw.exe").toString(),
                                              setup.launcher);
        String said = new BufferedReader(new InputStreamReader(app.getInputStream(), StandardCharsets.US_ASCII))
                .readLine();
        assertTrue(app.waitFor(30, java.util.concurrent.TimeUnit.SECONDS), "the application ended");
        assertTrue(said != null && said.startsWith("refused: java.lang.IllegalStateException"), said);
        Thread.sleep(500);
        assertEquals(Collections.emptyList(), commands(), "launched");
    }
}
