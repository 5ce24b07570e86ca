// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;

/**
 * The ports an application listens on when it asks for none: the same ones each time it
 * runs. An application ended from outside never sends its "stop", so its port stays
 * registered with the helper, which holds ten. Started again, it registers the same port,
 * which the helper does not add twice, and takes its slot back instead of filling another.
 *
 * <p>The ports follow from who runs what where: the user, the working folder, the class
 * path and the main class or jar. Each client of one JVM takes the first of them that is
 * free, so an application with two clients takes back both; another application, or a
 * second instance of this one, that holds a port makes the client try the next, and a
 * free port the system picks when all are taken.
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
        return candidates(String.join("\n", System.getProperty("user.name", ""),
                System.getProperty("user.dir", ""), System.getProperty("java.class.path", ""), main));
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
