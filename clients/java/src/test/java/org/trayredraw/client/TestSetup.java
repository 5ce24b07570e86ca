// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.TrayIcon;
import java.io.IOException;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CopyOnWriteArrayList;

/** A setup as a test wants it: Windows as the library sees it, with what the test gives. */
final class TestSetup {
    boolean windows = true;
    List<String> launcher = Collections.emptyList();
    Boolean elevated = Boolean.FALSE;
    final Map<String, String> env = new HashMap<>();
    final Map<String, String> properties = new HashMap<>();
    PackedHelperTest.StandInAcls acls = new PackedHelperTest.StandInAcls();
    long renewMs = 600_000;
    long settleMs = 3000;
    long stopWaitMs = 20_000;
    long retryMs = 1000;

    /** What a keeper's listener heard, in order. */
    static final class Heard implements TrayIconKeeper.Listener {
        final List<String> news = new CopyOnWriteArrayList<>();

        @Override
        public void iconPutBack(TrayIcon icon) {
            news.add("put back " + icon.getToolTip());
        }

        @Override
        public void helperFailed(IOException why) {
            news.add("failed");
        }

        @Override
        public void helperRecovered() {
            news.add("recovered");
        }
    }

    Setup build() {
        return new Setup(windows, launcher, () -> elevated, env::get, properties::get, acls, renewMs, settleMs,
                         stopWaitMs, 5000, retryMs);
    }
}
