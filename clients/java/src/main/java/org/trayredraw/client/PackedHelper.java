// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Arrays;

/**
 * The trayredraw.exe that this jar carries, put on disk where Windows can run it.
 *
 * <p>The copy's name carries a hash of its content, so a new version of the program never
 * has to replace an old one, which may be running as some application's resident helper
 * and cannot be replaced while it runs. A copy is written to a temporary file in the same
 * folder and published under its name by an atomic move: the name only ever holds a
 * complete program, however many applications start at once. An existing copy is reused
 * only when its bytes are the program's. Copies are never deleted: another application's
 * helper may be the one running.
 */
final class PackedHelper {

    /** Where the program lies in the jar, beside this class. */
    static final String RESOURCE = "trayredraw.exe";

    private PackedHelper() {}

    /**
     * The user's own folder for the copy: %LOCALAPPDATA%\trayredraw, or a folder of that
     * name in the temporary folder where the system names no local application data.
     */
    static Path defaultFolder() {
        String local = System.getenv("LOCALAPPDATA");
        Path base = local != null && !local.isEmpty()
                ? Paths.get(local) : Paths.get(System.getProperty("java.io.tmpdir"));
        return base.resolve("trayredraw");
    }

    /**
     * Makes sure {@code folder} holds the program and returns the copy's path.
     *
     * @throws IOException if the jar carries no program or no good copy can be made
     */
    static Path install(Path folder) throws IOException {
        byte[] program = program();
        Path copy = folder.resolve(fileName(program));
        if (holds(copy, program))
            return copy;
        Files.createDirectories(folder);
        Path temp = Files.createTempFile(folder, "trayredraw-", ".tmp");
        IOException failure = null;
        try {
            try (FileChannel out = FileChannel.open(temp, StandardOpenOption.WRITE)) {
                ByteBuffer bytes = ByteBuffer.wrap(program);
                while (bytes.hasRemaining())
                    out.write(bytes);
                // On disk before the name points to it: a crash must not leave an empty
                // file under the published name.
                out.force(true);
            }
            try {
                Files.move(temp, copy, StandardCopyOption.ATOMIC_MOVE);
            } catch (IOException e) {
                // On Windows a copy that runs cannot be replaced. One that another
                // application has just published, or that runs as a helper, is as good
                // as ours when it holds the same bytes.
                if (!holds(copy, program))
                    throw e;
            }
        } catch (IOException e) {
            failure = e;
            throw e;
        } finally {
            // A virus scanner may hold the fresh file open, so that it cannot be deleted
            // yet; that must not hide why the copy failed, nor fail a copy that worked.
            try {
                Files.deleteIfExists(temp);
            } catch (IOException e) {
                if (failure != null)
                    failure.addSuppressed(e);
            }
        }
        return copy;
    }

    /** "trayredraw-" and the first 16 hex digits of the program's SHA-256, then ".exe". */
    static String fileName(byte[] program) {
        byte[] hash;
        try {
            hash = MessageDigest.getInstance("SHA-256").digest(program);
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java platform has SHA-256", e);
        }
        StringBuilder name = new StringBuilder("trayredraw-");
        for (int i = 0; i < 8; i++)
            name.append(String.format("%02x", hash[i] & 0xff));
        return name.append(".exe").toString();
    }

    private static byte[] program() throws IOException {
        try (InputStream in = PackedHelper.class.getResourceAsStream(RESOURCE)) {
            if (in == null)
                throw new IOException("this build of the trayredraw client carries no " + RESOURCE);
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0; )
                bytes.write(buffer, 0, n);
            return bytes.toByteArray();
        }
    }

    // Whether the file holds exactly the program: a partial copy left by a crash, or a
    // file planted under a name that is easy to guess, does not.
    private static boolean holds(Path file, byte[] program) throws IOException {
        if (!Files.isRegularFile(file) || Files.size(file) != program.length)
            return false;
        return Arrays.equals(Files.readAllBytes(file), program);
    }
}
