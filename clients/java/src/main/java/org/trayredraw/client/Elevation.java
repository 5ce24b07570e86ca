// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.logging.Level;
import java.util.logging.Logger;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Whether this JVM runs above the shell, as Windows tells through the mandatory label
 * among the groups of its token: S-1-16-8192 is medium, the shell's level; S-1-16-8448
 * (medium plus), S-1-16-12288 (high: elevated) and S-1-16-16384 (system) are above it.
 * The SIDs read the same in every language of Windows; the names beside them do not.
 *
 * <p>It matters because AWT's tray has a hidden window of its own that adds every icon
 * again when the shell announces a new taskbar; only in a JVM above the shell does the
 * system drop that announcement, sent by the less privileged shell, before AWT hears it.
 *
 * <p>The JDK's own view of the token answers without starting a process. Only a runtime
 * image made without the module that holds it asks {@code whoami /groups}: a Java process
 * that starts whoami is what monitoring products in companies raise alerts on.
 */
final class Elevation {

    private static final Logger LOG = Logger.getLogger(Elevation.class.getName());
    private static final Pattern MANDATORY_LABEL = Pattern.compile("S-1-16-(\\d+)");
    private static final long MEDIUM = 8192;
    // Looking the token's groups up may name accounts through a domain controller that
    // is out of reach; whoami may hang. Past this the answer is "unknown".
    private static final long ANSWER_WAIT_MS = 10_000;
    private static final String TOKEN_VIEW = "com.sun.security.auth.module.NTSystem";
    // whoami /groups prints a few KB; beyond this it is no whoami, and the rest is read
    // (so that it never blocks on a full pipe) but not kept.
    private static final int OUTPUT_LIMIT = 1 << 20;

    private Elevation() {}

    // Asked on first use, once per JVM.
    private static final class OfThisJvm {
        static final Question QUESTION = new Question(Elevation::ask, ANSWER_WAIT_MS);
    }

    /**
     * TRUE if this JVM runs above the shell, FALSE if not, null where it cannot be told.
     * Asked once per JVM on a thread of its own; a caller waits at most until ten seconds
     * after the first one asked, and after that gets null at once while no answer came.
     */
    static Boolean ofThisJvm() {
        return OfThisJvm.QUESTION.answer();
    }

    /** A question asked once on a thread of its own, whose answer is waited for until a deadline. */
    static final class Question {
        private final FutureTask<Boolean> task;
        private final long deadline;

        Question(Callable<Boolean> ask, long waitMs) {
            task = new FutureTask<>(ask);
            deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(waitMs);
            Thread t = new Thread(task, "trayredraw-elevation");
            t.setDaemon(true);
            t.start();
        }

        /** The answer, or null where it failed or has not come by the deadline. */
        Boolean answer() {
            try {
                return task.get(Math.max(0, deadline - System.nanoTime()), TimeUnit.NANOSECONDS);
            } catch (TimeoutException | ExecutionException e) {
                return null;
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return null;
            }
        }
    }

    /**
     * What the mandatory label among these SIDs (whoami's output, or the token's group
     * SIDs one a line) tells: TRUE above medium, FALSE medium or below, null no label.
     */
    static Boolean fromGroups(String sids) {
        Matcher m = MANDATORY_LABEL.matcher(sids);
        Long level = null;
        while (m.find()) {
            try {
                long l = Long.parseLong(m.group(1));
                level = level == null ? l : Math.max(level, l);
            } catch (NumberFormatException e) {
                return null;
            }
        }
        return level == null ? null : level > MEDIUM;
    }

    private static Boolean ask() {
        Boolean above;
        try {
            above = fromGroups(String.join("\n", tokenGroups()));
        } catch (ClassNotFoundException e) {
            String root = System.getenv("SystemRoot");
            above = whoami(Paths.get(root == null || root.isEmpty() ? "C:\\Windows" : root), ANSWER_WAIT_MS);
        } catch (ReflectiveOperationException | RuntimeException | LinkageError e) {
            LOG.log(Level.FINE, "trayredraw: the JDK could not tell this JVM's mandatory level", e);
            above = null;
        }
        LOG.fine("trayredraw: this JVM runs " + (above == null ? "with a mandatory level that could not be told"
                 : above ? "above the shell" : "at the shell's level or below"));
        return above;
    }

    // The JDK's view of this process's token, by reflection: the class is in Java 8's
    // runtime on Windows and in the module jdk.security.auth since, which a runtime image
    // may leave out; this jar builds for Java 8 and runs everywhere.
    private static String[] tokenGroups() throws ReflectiveOperationException {
        Class<?> view = Class.forName(TOKEN_VIEW);
        Object token = view.getConstructor().newInstance();
        String[] groups = (String[]) view.getMethod("getGroupIDs").invoke(token);
        return groups == null ? new String[0] : groups;
    }

    /**
     * What {@code SYSTEM_ROOT\System32\whoami.exe /groups} tells (the system's own whoami,
     * not whatever the PATH finds first), or null where it fails or has not ended within
     * {@code waitMs}, which then ends it. Its output is read on a thread of its own, so
     * a whoami that hangs without writing holds up nothing beyond the wait.
     */
    static Boolean whoami(Path systemRoot, long waitMs) {
        Path whoami = systemRoot.resolve("System32").resolve("whoami.exe");
        long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(waitMs);
        Process p = null;
        try {
            p = new ProcessBuilder(whoami.toString(), "/groups")
                    .directory(whoami.getParent().toFile())
                    .redirectInput(ProcessBuilder.Redirect.from(TrayRedrawClient.NULL_FILE))
                    .redirectError(ProcessBuilder.Redirect.to(TrayRedrawClient.NULL_FILE))
                    .start();
            FutureTask<byte[]> output = new FutureTask<>(readAll(p.getInputStream()));
            Thread reader = new Thread(output, "trayredraw-whoami");
            reader.setDaemon(true);
            reader.start();
            if (!p.waitFor(waitMs, TimeUnit.MILLISECONDS))
                return null;
            // Output a child of whoami still holds open counts against the same wait.
            byte[] out = output.get(Math.max(0, end - System.nanoTime()), TimeUnit.NANOSECONDS);
            // The SIDs are ASCII in any code page the console uses.
            return p.exitValue() == 0 ? fromGroups(new String(out, StandardCharsets.ISO_8859_1)) : null;
        } catch (IOException | RuntimeException | ExecutionException | TimeoutException e) {
            LOG.log(Level.FINE, "trayredraw: whoami could not tell whether this JVM runs elevated", e);
            return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        } finally {
            if (p != null)
                p.destroyForcibly();  // nothing, once it has ended
        }
    }

    private static Callable<byte[]> readAll(InputStream from) {
        return () -> {
            try (InputStream in = from) {
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                byte[] buffer = new byte[8192];
                for (int n; (n = in.read(buffer)) > 0; )
                    out.write(buffer, 0, Math.min(n, OUTPUT_LIMIT - out.size()));
                return out.toByteArray();
            }
        };
    }
}
