// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.Closeable;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.BasicFileAttributes;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Set;

import static java.nio.file.LinkOption.NOFOLLOW_LINKS;

/**
 * The program a launch runs: the one the system property {@value #PROPERTY} names, or a
 * copy of the one this jar carries, named after a hash of its bytes (a new version never
 * replaces an old one, which may be some application's helper), published whole by an
 * atomic move, reused only when its bytes are the program's, never deleted. A JVM that is
 * not elevated keeps it in the user's own %LOCALAPPDATA%\trayredraw or nowhere; one that is,
 * or cannot tell, in %CommonProgramFiles%\trayredraw, and takes that or a named program only
 * where {@link SafeFolder} finds that no one else may change it. For each launch the
 * program is opened so that no one can write, rename or delete it, checked through that
 * handle, its place checked again, and held until the process has started.
 */
final class Program implements Closeable {

    static final String PROPERTY = "trayredraw.program";
    /** Where the program lies in the jar, beside this class. */
    static final String RESOURCE = "trayredraw.exe";
    /** Whether the file system is Windows', the only one that knows share modes. */
    static final boolean WINDOWS_FILES = FileSystems.getDefault().getSeparator().equals("\\");
    private static final OpenOption[] HOLD = holdOptions(WINDOWS_FILES);

    final Path path;
    private final FileChannel held;

    private Program(Path path, FileChannel held) {
        this.path = path;
        this.held = held;
    }

    /** The program for one launch, checked and held. */
    static Program hold(Setup setup) throws IOException {
        // Checked where the JVM is elevated, or cannot tell.
        SafeFolder.Acls acls = Boolean.FALSE.equals(setup.elevated.get()) ? null : setup.acls;
        try {
            String named = setup.properties.apply(PROPERTY);
            if (named != null && !named.trim().isEmpty())
                return hold(named(named.trim()), acls, null, SafeFolder.CHANGE);
            byte[] program = packed();
            Path folder = folder(setup, acls != null ? "CommonProgramFiles" : "LOCALAPPDATA");
            if (acls != null)
                SafeFolder.prepare(acls, folder);
            return hold(install(folder, program), acls, program, SafeFolder.OPEN);
        } catch (IOException e) {
            if (acls == null)
                throw e;
            throw new IOException("this JVM runs elevated, or cannot tell whether it does, and launches the helper only"
                    + " from where no less privileged program can change it, but " + e.getMessage() + ". Install"
                    + " trayredraw.exe where only administrators may change it (under Program Files) and name it"
                    + " with the system property " + PROPERTY, e);
        }
    }

    private static Path named(String named) throws IOException {
        try {
            Path p = Paths.get(named);
            if (p.isAbsolute())
                return p;
        } catch (InvalidPathException e) {
            // told below
        }
        throw new IOException("the system property " + PROPERTY + " names " + named + ", which is no absolute path");
    }

    private static Path folder(Setup setup, String variable) throws IOException {
        String base = setup.env.apply(variable);
        if (base == null || base.isEmpty())
            throw new IOException("the environment names no " + variable + " folder");
        return Paths.get(base, "trayredraw");
    }

    // Its bytes are the copy's only: an installed program may be any signed version.
    private static Program hold(Path file, SafeFolder.Acls acls, byte[] program, Set<AclEntryPermission> rights)
            throws IOException {
        if (acls != null && WINDOWS_FILES && HOLD.length < 4)
            throw new IOException("this runtime cannot open " + file + " so that no one can change it");
        FileChannel channel = FileChannel.open(file, HOLD);
        try {
            if (!Files.readAttributes(file, BasicFileAttributes.class, NOFOLLOW_LINKS).isRegularFile())
                throw new IOException(file + " is no plain file");
            if (acls != null)
                SafeFolder.checkOne(acls, file, rights, new HashMap<>());
            if (program != null && !holds(channel, program))
                throw new IOException(file + " changed after it was made");
            if (acls != null)
                SafeFolder.check(acls, file.getParent(), rights);
            return new Program(file, channel);
        } catch (IOException | RuntimeException e) {
            channel.close();
            throw e;
        }
    }

    // Closing what was only read loses nothing, and a launch that has started must not fail.
    @Override
    public void close() {
        try {
            held.close();
        } catch (IOException e) {
            // nothing to do
        }
    }

    /** READ and NOFOLLOW_LINKS, and on Windows the JDK's share modes that keep others from writing, renaming and deleting. */
    static OpenOption[] holdOptions(boolean windows) {
        List<OpenOption> options = new ArrayList<>(Arrays.asList(StandardOpenOption.READ, NOFOLLOW_LINKS));
        if (windows) {
            try {
                // Reflection: no part of Java 8's API. The module requires jdk.unsupported for it.
                Class<?> extended = Class.forName("com.sun.nio.file.ExtendedOpenOption");
                for (String name : new String[] {"NOSHARE_WRITE", "NOSHARE_DELETE"})
                    options.add((OpenOption) extended.getField(name).get(null));
            } catch (ReflectiveOperationException | RuntimeException e) {
                // Left out: hold() refuses what it must hold.
            }
        }
        return options.toArray(new OpenOption[0]);
    }

    /** Makes sure {@code folder} holds the program and returns the copy's path. */
    static Path install(Path folder, byte[] program) throws IOException {
        Path copy = folder.resolve(fileName(program));
        if (Files.isRegularFile(copy, NOFOLLOW_LINKS) && Files.size(copy) == program.length
                && Arrays.equals(Files.readAllBytes(copy), program))
            return copy;
        Files.createDirectories(folder);
        Path temp = Files.createTempFile(folder, "trayredraw-", ".tmp");
        try {
            try (FileChannel out = FileChannel.open(temp, StandardOpenOption.WRITE)) {
                for (ByteBuffer bytes = ByteBuffer.wrap(program); bytes.hasRemaining(); )
                    out.write(bytes);
                // On disk before the name points to it: a crash must not leave an empty
                // file under the published name.
                out.force(true);
            }
            try {
                Files.move(temp, copy, StandardCopyOption.ATOMIC_MOVE);
            } catch (IOException e) {
                // A copy that runs cannot be replaced on Windows; one that another
                // application has just published is as good as ours when it is the same.
                if (!Files.isRegularFile(copy, NOFOLLOW_LINKS) || !Arrays.equals(Files.readAllBytes(copy), program))
                    throw e;
            }
        } finally {
            try {  // a virus scanner may hold the fresh file a moment; a leftover costs nothing
                Files.deleteIfExists(temp);
            } catch (IOException e) {
                // left behind
            }
        }
        return copy;
    }

    /** "trayredraw-" and the first 16 hex digits of the program's SHA-256, then ".exe". */
    static String fileName(byte[] program) {
        byte[] hash = sha256(program);
        StringBuilder name = new StringBuilder("trayredraw-");
        for (int i = 0; i < 8; i++)
            name.append(String.format("%02x", hash[i] & 0xff));
        return name.append(".exe").toString();
    }

    static byte[] sha256(byte[] bytes) {
        try {
            return MessageDigest.getInstance("SHA-256").digest(bytes);
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java platform has SHA-256", e);
        }
    }

    static byte[] packed() throws IOException {
        try (InputStream in = Program.class.getResourceAsStream(RESOURCE)) {
            if (in == null)
                throw new IOException("this build of the trayredraw client carries no " + RESOURCE);
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0; )
                bytes.write(buffer, 0, n);
            return bytes.toByteArray();
        }
    }

    // One byte more than the program, if the file has it, tells a longer file.
    private static boolean holds(FileChannel channel, byte[] program) throws IOException {
        ByteBuffer content = ByteBuffer.allocate(program.length + 1);
        while (content.hasRemaining() && channel.read(content) >= 0)
            continue;
        return content.position() == program.length
               && Arrays.equals(Arrays.copyOf(content.array(), program.length), program);
    }
}
