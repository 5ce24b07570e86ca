// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.InvalidPathException;
import java.nio.file.Paths;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * The ports an application listens on when it asks for none: the same ones each time it
 * runs. An application ended from outside never sends its "stop", so its port stays
 * registered with the helper, which holds ten. Started again, it registers the same port,
 * which the helper does not add twice, and takes its slot back instead of filling another.
 *
 * <p>The ports follow from who runs which application: the user, the class path and
 * module path (each entry as an absolute path) and the main class. Not the folder it was
 * started from: an application started at log-on (in System32) and later from a shortcut
 * (in its own folder) is the same application. Each client of one JVM takes the first of
 * them that is free, so an application with two clients takes back both; another
 * application, or a second instance of this one, that holds a port makes the client try
 * the next, and a free port the system picks when all are taken.
 */
final class ApplicationPort {

    // Below Windows' dynamic range (49152-65535), from which the system hands out ports
    // to whoever asks for any, so that these are seldom taken by chance.
    private static final int FIRST = 40960;
    private static final int COUNT = 8192;
    /** How many ports one application may take back: as many clients as it opens. */
    static final int CANDIDATES = 4;

    private ApplicationPort() {}

    /** The ports for this JVM's application, in the order its clients take them. */
    static int[] candidates() {
        String command = System.getProperty("sun.java.command", "").trim();
        int space = command.indexOf(' ');
        String main = space < 0 ? command : command.substring(0, space);
        // With -jar the command starts with the jar as it was typed, perhaps relative to
        // the working folder (or cut at a space in its path); the class path names it too.
        if (main.toLowerCase(Locale.ROOT).endsWith(".jar"))
            main = "";
        return candidates(String.join("\n", System.getProperty("user.name", ""),
                absolute(System.getProperty("java.class.path", "")),
                absolute(System.getProperty("jdk.module.path", "")), main));
    }

    // A path list with each entry made absolute, as the working folder resolves it.
    private static String absolute(String paths) {
        List<String> entries = new ArrayList<>();
        for (String entry : paths.split(File.pathSeparator, -1)) {
            try {
                entries.add(entry.isEmpty() ? entry : Paths.get(entry).toAbsolutePath().normalize().toString());
            } catch (InvalidPathException e) {
                entries.add(entry);
            }
        }
        return String.join(File.pathSeparator, entries);
    }

    static int[] candidates(String identity) {
        byte[] hash;
        try {
            hash = MessageDigest.getInstance("SHA-256").digest(identity.getBytes(StandardCharsets.UTF_8));
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java platform has SHA-256", e);
        }
        int first = ((hash[0] & 0xff) << 8 | (hash[1] & 0xff)) % COUNT;
        int[] ports = new int[CANDIDATES];
        for (int i = 0; i < CANDIDATES; i++)
            ports[i] = FIRST + (first + i) % COUNT;
        return ports;
    }
}
