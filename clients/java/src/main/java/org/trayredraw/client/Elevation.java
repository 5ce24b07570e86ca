// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.util.concurrent.ExecutionException;
import java.util.concurrent.Future;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Whether this JVM runs above the shell, where the system drops the shell's announcement
 * of a new taskbar before AWT's own window hears it: as the mandatory label among the
 * groups of its token tells. S-1-16-8192 is medium, the shell's level; S-1-16-8448 (medium
 * plus), S-1-16-12288 (high) and S-1-16-16384 (system) are above it. The JDK's view of the
 * token ({@code com.sun.security.auth.module.NTSystem}) answers without starting a process;
 * where the runtime lacks it, the answer is "cannot tell", and no other program is asked.
 */
final class Elevation {

    private static final Logger LOG = Logger.getLogger(Elevation.class.getName());
    private static final long MEDIUM = 8192;
    // The view looks account names up, which an unreachable domain controller can hold up.
    private static final long WAIT_MS = 10_000;

    private Elevation() {}

    // Asked once per JVM, on first use, on a thread of its own.
    private static final FutureTask<Boolean> ANSWER = new FutureTask<>(Elevation::ask);
    private static final long DEADLINE = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(WAIT_MS);

    static {
        TrayRedrawClient.daemon(ANSWER, "trayredraw-elevation").start();
    }

    /** TRUE above the shell, FALSE not, null cannot tell: at most ten seconds after the first caller asked. */
    static Boolean ofThisJvm() {
        return answer(ANSWER, DEADLINE);
    }

    /** The answer, or null where it failed or has not come by {@code deadline} (System.nanoTime). */
    static Boolean answer(Future<Boolean> answer, long deadline) {
        try {
            return answer.get(Math.max(0, deadline - System.nanoTime()), TimeUnit.NANOSECONDS);
        } catch (TimeoutException | ExecutionException e) {
            return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        }
    }

    /** What the mandatory label among these group SIDs tells: TRUE above medium, FALSE not, null no label. */
    static Boolean fromGroups(String... sids) {
        Long level = null;
        for (String sid : sids) {
            if (!sid.startsWith("S-1-16-"))
                continue;
            try {
                long l = Long.parseLong(sid.substring("S-1-16-".length()));
                level = level == null ? l : Math.max(level, l);
            } catch (NumberFormatException e) {
                return null;
            }
        }
        return level == null ? null : level > MEDIUM;
    }

    // By reflection: the class is in Java 8's runtime on Windows and in jdk.security.auth
    // since, and this jar builds for Java 8 and runs everywhere.
    private static Boolean ask() {
        Boolean above;
        try {
            Class<?> view = Class.forName("com.sun.security.auth.module.NTSystem");
            String[] groups = (String[]) view.getMethod("getGroupIDs").invoke(view.getConstructor().newInstance());
            above = fromGroups(groups == null ? new String[0] : groups);
        } catch (ReflectiveOperationException | RuntimeException | LinkageError e) {
            LOG.log(Level.FINE, "trayredraw: this runtime cannot tell this JVM's mandatory level", e);
            above = null;
        }
        LOG.fine("trayredraw: this JVM runs " + (above == null ? "at a mandatory level that cannot be told"
                 : above ? "above the shell" : "at the shell's level or below"));
        return above;
    }
}
