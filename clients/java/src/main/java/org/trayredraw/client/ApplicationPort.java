// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.InvalidPathException;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * The ports an application listens on: the same ones each time it runs, so that one ended
 * from outside, which could not send its "stop", takes its place among the helper's ten
 * back when it runs again instead of filling another. They follow from the user, the class
 * and module path (each entry absolute) and the main class, not from the folder it was
 * started from. Each client of one JVM takes the first that is free; where all are taken
 * (another instance, another program), a port the system picks.
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
        byte[] hash = Program.sha256(String.join("\n", System.getProperty("user.name", ""),
                absolute(System.getProperty("java.class.path", "")), absolute(System.getProperty("jdk.module.path", "")),
                main).getBytes(StandardCharsets.UTF_8));
        int first = ((hash[0] & 0xff) << 8 | (hash[1] & 0xff)) % COUNT;
        int[] ports = new int[CANDIDATES];
        for (int i = 0; i < CANDIDATES; i++)
            ports[i] = FIRST + (first + i) % COUNT;
        return ports;
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
}
