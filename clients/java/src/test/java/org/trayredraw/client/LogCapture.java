// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.logging.Handler;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

import org.junit.jupiter.api.extension.AfterEachCallback;
import org.junit.jupiter.api.extension.BeforeEachCallback;
import org.junit.jupiter.api.extension.ExtensionContext;

/** Records what one of the library's loggers says during each case, and keeps it off the console. */
final class LogCapture extends Handler implements BeforeEachCallback, AfterEachCallback {

    /** What the logger said in this case, in order. */
    final List<LogRecord> records = new CopyOnWriteArrayList<>();
    // Held here: the logging framework keeps its loggers only weakly.
    private final Logger logger;

    LogCapture(String loggerName) {
        logger = Logger.getLogger(loggerName);
    }

    @Override
    public void beforeEach(ExtensionContext context) {
        records.clear();
        logger.addHandler(this);
        logger.setUseParentHandlers(false);
    }

    @Override
    public void afterEach(ExtensionContext context) {
        logger.removeHandler(this);
        logger.setUseParentHandlers(true);
    }

    @Override
    public void publish(LogRecord r) {
        records.add(r);
    }

    @Override
    public void flush() {}

    @Override
    public void close() {}
}
