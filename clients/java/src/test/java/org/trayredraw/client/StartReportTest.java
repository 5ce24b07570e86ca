// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.File;
import java.io.IOException;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * What the application hears when a "start" launch fails. The shell plays a helper that
 * refuses, as the real one does when it runs elevated and the application does not.
 */
class StartReportTest {

    private final Logger logger = Logger.getLogger("org.trayredraw.client.TrayRedrawClient");
    private final List<LogRecord> records = new CopyOnWriteArrayList<>();
    private final Handler handler = new Handler() {
        @Override
        public void publish(LogRecord r) {
            records.add(r);
        }

        @Override
        public void flush() {}

        @Override
        public void close() {}
    };

    @BeforeEach
    void listen() {
        logger.addHandler(handler);
        logger.setUseParentHandlers(false);
    }

    @AfterEach
    void stopListening() {
        logger.removeHandler(handler);
        logger.setUseParentHandlers(true);
    }

    @Test
    void aRefusedStartIsReportedAsAWarning() throws Exception {
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell plays the helper");
        // The command line becomes: sh -c "exit 2" HELPER start PORT
        List<String> refusing = Arrays.asList("/bin/sh", "-c", "exit 2");
        TrayRedrawClient client = TrayRedrawClient.open(refusing, "trayredraw.exe", 0, () -> {});
        try {
            assertTrue(ClientTest.eventually(() -> !records.isEmpty(), 10_000), "nothing was reported");
            LogRecord r = records.get(0);
            assertEquals(Level.WARNING, r.getLevel());
            assertTrue(r.getMessage().contains("port " + client.port()) && r.getMessage().contains("exit code 2")
                       && r.getMessage().contains("higher privileges"), r.getMessage());
        } finally {
            assertThrows(IOException.class, client::close, "a stop that fails with 2");
        }
    }
}
