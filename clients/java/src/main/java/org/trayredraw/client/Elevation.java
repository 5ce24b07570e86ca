// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;
import java.util.logging.Level;
import java.util.logging.Logger;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Whether this JVM runs elevated, as Windows tells through the mandatory label of its
 * token: {@code whoami /groups} lists it as S-1-16-8192 (medium), S-1-16-12288 (high:
 * elevated) or S-1-16-16384 (system). The SIDs read the same in every language of
 * Windows; the names beside them do not.
 *
 * <p>It matters because AWT's tray has a hidden window of its own that adds every icon
 * again when the shell announces a new taskbar; only in an elevated JVM does the system
 * drop that announcement, sent by the less privileged shell, before AWT hears it.
 */
final class Elevation {

    private static final Logger LOG = Logger.getLogger(Elevation.class.getName());
    private static final Pattern MANDATORY_LABEL = Pattern.compile("S-1-16-(\\d+)");
    private static final long HIGH = 12288;
    private static final long ANSWER_WAIT_SECONDS = 10;

    private static final Object LOCK = new Object();
    private static boolean asked;     // guarded by LOCK
    private static Boolean elevated;  // guarded by LOCK

    private Elevation() {}

    /**
     * TRUE if this JVM runs elevated, FALSE if not, null where it cannot be told. Asked
     * once per JVM, on the thread that first wants to know, which waits for the answer.
     */
    static Boolean ofThisJvm() {
        synchronized (LOCK) {
            if (!asked) {
                elevated = ask();
                asked = true;
                LOG.fine("trayredraw: this JVM runs " + (elevated == null ? "with a mandatory level that could not be told"
                         : elevated ? "elevated" : "without elevation"));
            }
            return elevated;
        }
    }

    /** What {@code whoami /groups} printed tells: TRUE high or above, FALSE below, null no label. */
    static Boolean fromWhoamiGroups(String output) {
        Matcher m = MANDATORY_LABEL.matcher(output);
        Long level = null;
        while (m.find()) {
            try {
                long l = Long.parseLong(m.group(1));
                level = level == null ? l : Math.max(level, l);
            } catch (NumberFormatException e) {
                return null;
            }
        }
        return level == null ? null : level >= HIGH;
    }

    // The system's own whoami, not whatever the PATH finds first.
    private static Boolean ask() {
        String root = System.getenv("SystemRoot");
        File whoami = new File(new File(root == null || root.isEmpty() ? "C:\\Windows" : root, "System32"), "whoami.exe");
        File nul = new File("NUL");
        try {
            Process p = new ProcessBuilder(whoami.getPath(), "/groups")
                    .directory(whoami.getParentFile())
                    .redirectInput(ProcessBuilder.Redirect.from(nul))
                    .redirectError(ProcessBuilder.Redirect.to(nul))
                    .start();
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            try (InputStream in = p.getInputStream()) {
                byte[] buffer = new byte[8192];
                for (int n; (n = in.read(buffer)) > 0; )
                    out.write(buffer, 0, n);
            }
            if (!p.waitFor(ANSWER_WAIT_SECONDS, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                return null;
            }
            // The SIDs are ASCII in any code page the console uses.
            return p.exitValue() == 0 ? fromWhoamiGroups(new String(out.toByteArray(), StandardCharsets.ISO_8859_1))
                                      : null;
        } catch (IOException e) {
            LOG.log(Level.FINE, "trayredraw: could not ask whoami whether this JVM runs elevated", e);
            return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        }
    }
}
