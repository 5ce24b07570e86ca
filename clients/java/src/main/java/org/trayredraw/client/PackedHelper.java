// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.Closeable;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.Function;
import java.util.function.Supplier;

/**
 * The trayredraw.exe that this jar carries, put on disk where Windows can run it, and
 * held as it was checked until its launch has started.
 *
 * <p>The copy's name carries a hash of its content, so a new version of the program never
 * has to replace an old one, which may be running as some application's resident helper
 * and cannot be replaced while it runs. A copy is written to a temporary file in the same
 * folder and published under its name by an atomic move: the name only ever holds a
 * complete program, however many applications start at once. An existing copy is reused
 * only when its bytes are the program's. Copies are never deleted: another application's
 * helper may be the one running.
 *
 * <p>Where the copy lives depends on the rights of the JVM that runs it. A JVM that is not
 * elevated keeps it in the user's own folder, which every program of the user can change:
 * they all have the same rights, and none gains any by it. An elevated JVM (or one whose
 * elevation cannot be told) would run whatever lay there with rights the program that put
 * it there does not have. It takes the copy only from a folder that no less privileged
 * program can change ({@link AdminFolder}), and never from a shared temporary folder, where
 * any user could make the folder first. Where it cannot have such a folder, nothing is
 * launched, and the application is told to name an installed program.
 *
 * <p>For each launch the copy is opened so that no one can write, rename or delete it
 * (where the runtime can: on Windows), its bytes are checked through that handle, and it
 * stays open until the process has started: the program that runs is the one checked.
 */
final class PackedHelper {

    /** Where the program lies in the jar, beside this class. */
    static final String RESOURCE = "trayredraw.exe";
    private static final String FOLDER = "trayredraw";

    // Opens the copy so that no one can write, rename or delete it while it is open, where
    // the runtime has the options for that (Windows' JDK-specific ones; other runtimes
    // refuse them). A link in the copy's place is not followed.
    private static final OpenOption[] HOLD = holdOptions(TrayRedrawClient.WINDOWS);

    private PackedHelper() {}

    /** The program for this JVM's launches, in the place its elevation calls for. */
    static TrayRedrawClient.Program program() {
        return new Copy(Elevation::ofThisJvm, System::getenv, AdminFolder.WINDOWS);
    }

    /**
     * The program in the place that {@code elevated} (TRUE, FALSE or null: cannot be told)
     * calls for, with the environment and access lists given.
     */
    static TrayRedrawClient.Program program(Supplier<Boolean> elevated, Function<String, String> env,
                                            AdminFolder.Acls acls) {
        return new Copy(elevated, env, acls);
    }

    /** The program in {@code folder}, a user's own, as a JVM that is not elevated keeps it. */
    static TrayRedrawClient.Program in(Path folder) {
        return new TrayRedrawClient.Program() {
            @Override
            public Path path() throws IOException {
                return install(folder);
            }

            @Override
            public Held hold() throws IOException {
                byte[] program = packed();
                return PackedHelper.hold(install(folder, program), program, null);
            }
        };
    }

    /** A program for one launch, held as it was checked until closed once the launch has started. */
    static final class Held implements Closeable {
        private final Path path;
        private final Closeable open;

        /** {@code open} holds the file, or is null where nothing is held. */
        Held(Path path, Closeable open) {
            this.path = path;
            this.open = open;
        }

        Path path() {
            return path;
        }

        // Closing what was only read loses nothing, and a process that has started must
        // not be reported as a launch that failed.
        @Override
        public void close() {
            try {
                if (open != null)
                    open.close();
            } catch (IOException e) {
                // nothing to do
            }
        }
    }

    /** The jar's program, in the user's own folder or in one only administrators can change. */
    private static final class Copy implements TrayRedrawClient.Program {
        private final Supplier<Boolean> elevated;
        private final Function<String, String> env;
        private final AdminFolder.Acls acls;

        Copy(Supplier<Boolean> elevated, Function<String, String> env, AdminFolder.Acls acls) {
            this.elevated = elevated;
            this.env = env;
            this.acls = acls;
        }

        @Override
        public Path path() throws IOException {
            try (Held held = hold()) {
                return held.path();
            }
        }

        @Override
        public Held hold() throws IOException {
            byte[] program = packed();
            if (Boolean.FALSE.equals(elevated.get()))
                return PackedHelper.hold(install(userFolder(env), program), program, null);
            AdminFolder admin = new AdminFolder(env, acls);
            Path folder = admin.prepare();
            return PackedHelper.hold(install(folder, program), program, () -> admin.check(folder));
        }
    }

    /**
     * The user's own folder for the copy: %LOCALAPPDATA%\trayredraw, or a folder of that
     * name in the temporary folder where the system names no local application data.
     */
    static Path userFolder(Function<String, String> env) {
        String local = env.apply("LOCALAPPDATA");
        Path base = local != null && !local.isEmpty()
                ? Paths.get(local) : Paths.get(System.getProperty("java.io.tmpdir"));
        return base.resolve(FOLDER);
    }

    static OpenOption[] holdOptions(boolean windows) {
        List<OpenOption> options = new ArrayList<>(Arrays.asList(StandardOpenOption.READ, LinkOption.NOFOLLOW_LINKS));
        if (windows) {
            try {
                // Reflection: they are no part of Java 8's API, whose classes these are.
                for (Object o : Class.forName("com.sun.nio.file.ExtendedOpenOption").getEnumConstants()) {
                    String name = ((Enum<?>) o).name();
                    if (name.equals("NOSHARE_WRITE") || name.equals("NOSHARE_DELETE"))
                        options.add((OpenOption) o);
                }
            } catch (ClassNotFoundException | RuntimeException e) {
                // A runtime without them: the copy is held against nothing, and only the
                // folder's access list keeps it as it was checked.
            }
        }
        return options.toArray(new OpenOption[0]);
    }

    /** Something checked again once the copy is held, just before the launch. */
    private interface Check {
        void check() throws IOException;
    }

    // The copy, opened so that no one can change it until the launch has started, and
    // checked through that very handle: its bytes, then its place.
    private static Held hold(Path copy, byte[] program, Check place) throws IOException {
        FileChannel channel = FileChannel.open(copy, HOLD);
        try {
            // One byte more than the program, if the file has it, tells a longer file.
            ByteBuffer content = ByteBuffer.allocate(program.length + 1);
            while (content.hasRemaining())
                if (channel.read(content) < 0)
                    break;
            if (content.position() != program.length
                    || !Arrays.equals(Arrays.copyOf(content.array(), program.length), program))
                throw new IOException(copy + " changed after it was made");
            if (place != null)
                place.check();
            return new Held(copy, channel);
        } catch (IOException | RuntimeException e) {
            channel.close();
            throw e;
        }
    }

    /**
     * Makes sure {@code folder} holds the program and returns the copy's path.
     *
     * @throws IOException if the jar carries no program or no good copy can be made
     */
    static Path install(Path folder) throws IOException {
        return install(folder, packed());
    }

    private static Path install(Path folder, byte[] program) throws IOException {
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

    private static byte[] packed() throws IOException {
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
