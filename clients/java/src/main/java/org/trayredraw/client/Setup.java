// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.function.Function;
import java.util.function.Supplier;

/**
 * What the library takes from the system it runs on, and how long it waits. The public
 * entry points use {@link #SYSTEM}; tests make their own, to run the program under Wine
 * (the launcher comes before it on the command line), answer for Windows or shorten a wait.
 */
final class Setup {

    /** This JVM's. */
    static final Setup SYSTEM = new Setup(System.getProperty("os.name", "").startsWith("Windows"),
            Collections.<String>emptyList(), Elevation::ofThisJvm, System::getenv, System::getProperty,
            SafeFolder.WINDOWS, 600_000, 3000, 20_000, 5000, 1000);

    final boolean windows;
    final List<String> launcher;
    final Supplier<Boolean> elevated;  // TRUE, FALSE, or null: cannot tell
    final Function<String, String> env;
    final Function<String, String> properties;
    final SafeFolder.Acls acls;
    // How often a client repeats its start; how long a start may take to hand its port over
    // (one that runs on became the helper); how long a stop is waited for, while the helper
    // may be busy with clients that do not answer; how long the JVM's exit waits for one;
    // the first pause before a failed start is tried again (they double up to renewMs).
    final long renewMs;
    final long settleMs;
    final long stopWaitMs;
    final long exitWaitMs;
    final long retryMs;

    // The client that this setup's keepers share, and the keepings it serves (see Keeping).
    // Guarded by helped.
    final List<Keeping> helped = new ArrayList<>();
    TrayRedrawClient client;

    Setup(boolean windows, List<String> launcher, Supplier<Boolean> elevated, Function<String, String> env,
          Function<String, String> properties, SafeFolder.Acls acls, long renewMs, long settleMs, long stopWaitMs,
          long exitWaitMs, long retryMs) {
        this.windows = windows;
        this.launcher = Collections.unmodifiableList(new ArrayList<>(launcher));
        this.elevated = elevated;
        this.env = env;
        this.properties = properties;
        this.acls = acls;
        this.renewMs = renewMs;
        this.settleMs = settleMs;
        this.stopWaitMs = stopWaitMs;
        this.exitWaitMs = exitWaitMs;
        this.retryMs = retryMs;
    }
}
