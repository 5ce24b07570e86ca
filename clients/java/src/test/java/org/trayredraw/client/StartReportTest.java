// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.File;
import java.io.IOException;
import java.util.Arrays;
import java.util.List;
import java.util.logging.Level;
import java.util.logging.LogRecord;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * What the application hears when a "start" launch fails. The shell plays a helper that
 * refuses, as the real one does when it runs elevated and the application does not.
 */
class StartReportTest {

    @RegisterExtension
    final LogCapture log = new LogCapture("org.trayredraw.client.TrayRedrawClient");

    @Test
    void aRefusedStartIsReportedAsAWarning() throws Exception {
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell plays the helper");
        // The command line becomes: sh -c "exit 2" HELPER start PORT
        List<String> refusing = Arrays.asList("/bin/sh", "-c", "exit 2");
        TrayRedrawClient client = TrayRedrawClient.open(refusing, "trayredraw.exe", 0, () -> {});
        try {
            assertTrue(ClientTest.eventually(() -> !log.records.isEmpty(), 10_000), "nothing was reported");
            LogRecord r = log.records.get(0);
            assertEquals(Level.WARNING, r.getLevel());
            assertTrue(r.getMessage().contains("port " + client.port()) && r.getMessage().contains("exit code 2")
                       && r.getMessage().contains("higher privileges"), r.getMessage());
        } finally {
            assertThrows(IOException.class, client::close, "a stop that fails with 2");
        }
    }
}
