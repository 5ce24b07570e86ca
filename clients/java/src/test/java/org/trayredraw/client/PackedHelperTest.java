// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.EnumSet;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.function.Supplier;
import java.util.stream.Collectors;
import java.util.stream.Stream;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

/** Putting the program the jar carries on disk: a plain folder stands in for %LOCALAPPDATA%. */
class PackedHelperTest {

    private static byte[] program;
    private static String name;

    @BeforeAll
    static void theJarCarriesTheProgram() throws Exception {
        try (InputStream in = PackedHelperTest.class.getResourceAsStream("/org/trayredraw/client/trayredraw.exe")) {
            assertNotNull(in, "the build packed no trayredraw.exe: build it with the mingw-i686 preset, "
                              + "or name its folder with -Dtrayredraw.program.dir");
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0; )
                bytes.write(buffer, 0, n);
            program = bytes.toByteArray();
        }
        assertTrue(program.length > 64 && program[0] == 'M' && program[1] == 'Z', "a Windows program");
        byte[] hash = MessageDigest.getInstance("SHA-256").digest(program);
        StringBuilder hex = new StringBuilder();
        for (byte b : hash)
            hex.append(String.format("%02x", b));
        name = "trayredraw-" + hex.substring(0, 16) + ".exe";
    }

    @Test
    void firstCopyIsPublishedAndThenReused(@TempDir Path dir) throws Exception {
        Path folder = dir.resolve("local").resolve("trayredraw");
        Path copy = PackedHelper.install(folder);
        assertEquals(folder.resolve(name), copy);
        assertArrayEquals(program, Files.readAllBytes(copy));
        assertEquals(Collections.singletonList(name), names(folder), "nothing but the copy is left");

        // A copy that may be running is left as it is, not written again.
        FileTime longAgo = FileTime.fromMillis(86_400_000L);
        Files.setLastModifiedTime(copy, longAgo);
        assertEquals(copy, PackedHelper.install(folder));
        assertEquals(longAgo, Files.getLastModifiedTime(copy), "the copy was written again");
    }

    @Test
    void aDamagedOrPartialCopyIsReplaced(@TempDir Path folder) throws Exception {
        byte[] damaged = program.clone();
        damaged[damaged.length / 2] ^= 0x55;
        byte[][] bad = {damaged, Arrays.copyOf(program, program.length / 2), new byte[0]};
        for (byte[] content : bad) {
            Files.write(folder.resolve(name), content);
            assertEquals(folder.resolve(name), PackedHelper.install(folder));
            assertArrayEquals(program, Files.readAllBytes(folder.resolve(name)));
        }
        assertEquals(Collections.singletonList(name), names(folder));
    }

    // Applications started together (at log-on, say) copy at the same moment. Each must
    // get a path that already holds the whole program when it is handed out.
    @Test
    void concurrentCopiesEndWithOneGoodFile(@TempDir Path dir) throws Exception {
        int threads = 8;
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            for (int round = 0; round < 20; round++) {
                Path folder = dir.resolve("round" + round);
                CyclicBarrier together = new CyclicBarrier(threads);
                List<Future<byte[]>> seen = new ArrayList<>();
                for (int t = 0; t < threads; t++)
                    seen.add(pool.submit(() -> {
                        together.await();
                        return Files.readAllBytes(PackedHelper.install(folder));
                    }));
                for (Future<byte[]> s : seen)
                    assertArrayEquals(program, s.get(), "what an application was handed in round " + round);
                assertEquals(Collections.singletonList(name), names(folder), "round " + round);
            }
        } finally {
            pool.shutdownNow();
        }
    }

    // Where it lives: the user's folder for a JVM that is not elevated; for one that is, or
    // may be, a folder made so that only the administrators and the system may change it,
    // and never the temporary folder.
    @Test
    void theCopysPlaceFollowsTheJvmsElevation(@TempDir Path dir) throws Exception {
        Map<String, String> env = new HashMap<>();
        env.put("LOCALAPPDATA", dir.resolve("local").toString());
        env.put("CommonProgramFiles", Files.createDirectory(dir.resolve("common")).toString());
        StandInAcls acls = new StandInAcls();
        assertEquals(dir.resolve("local/trayredraw/" + name), PackedHelper.program(() -> false, env::get, acls).path());
        for (Boolean elevated : new Boolean[] {true, null}) {  // made, then found
            Path copy = PackedHelper.program(() -> elevated, env::get, acls).path();
            assertEquals(dir.resolve("common/trayredraw/" + name), copy);
            assertArrayEquals(program, Files.readAllBytes(copy));
        }
        Map<String, String> granted = new HashMap<>();
        for (AclEntry e : acls.acls.get(dir.resolve("common/trayredraw")))
            granted.put(e.principal().getName(),
                        e.type() + " " + EnumSet.copyOf(e.permissions()) + " " + EnumSet.copyOf(e.flags()));
        String inherited = " " + EnumSet.of(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT);
        assertEquals("ALLOW " + EnumSet.allOf(AclEntryPermission.class) + inherited, granted.get("Administrators"));
        assertEquals("ALLOW " + EnumSet.allOf(AclEntryPermission.class) + inherited, granted.get("SYSTEM"));
        assertEquals("ALLOW [READ_DATA, READ_NAMED_ATTRS, EXECUTE, READ_ATTRIBUTES, READ_ACL, SYNCHRONIZE]" + inherited,
                     granted.get("Users"));
        assertEquals(3, granted.size(), granted.toString());
        env.clear();  // a service's JVM may have neither
        refused(() -> null, env, acls, "names no folder for shared program files");
    }

    @Test
    void aFolderThatLessPrivilegedProgramsCouldChangeIsNotUsed(@TempDir Path dir) throws Exception {
        StandInAcls acls = new StandInAcls();
        Path owned = Files.createDirectories(dir.resolve("owned/trayredraw"));
        acls.owners.put(owned, acls.me);
        refused(() -> true, common(owned), acls, owned + " belongs to me, not to the administrators");
        Path writable = Files.createDirectories(dir.resolve("writable/trayredraw"));
        acls.acls.put(writable, Collections.singletonList(allow(acls.me, AclEntryPermission.WRITE_DATA)));
        refused(() -> true, common(writable), acls, "me may change what it holds: " + writable);
        Path parent = Files.createDirectories(dir.resolve("parent"));
        acls.acls.put(parent, Collections.singletonList(allow(acls.me, AclEntryPermission.DELETE_CHILD)));
        refused(() -> true, common(parent.resolve("trayredraw")), acls, "me may move what it holds away: " + parent);
        Path real = Files.createDirectories(dir.resolve("real"));
        Path link = Files.createSymbolicLink(dir.resolve("link"), real);
        refused(() -> true, common(link.resolve("trayredraw")), acls, link + " is a link or junction");
        assertEquals(Collections.emptyList(), names(real), "written through the link");
    }

    // The options that keep others from changing the copy while it is held, which only
    // Windows' runtime accepts, are found by name.
    @Test
    void theCopyIsHeldAgainstWritingAndDeletionOnWindows() {
        assertEquals("[READ, NOFOLLOW_LINKS, NOSHARE_WRITE, NOSHARE_DELETE]", Arrays.toString(PackedHelper.holdOptions(true)));
        assertEquals("[READ, NOFOLLOW_LINKS]", Arrays.toString(PackedHelper.holdOptions(false)));
    }

    private static Map<String, String> common(Path folder) {
        return Collections.singletonMap("CommonProgramFiles", folder.getParent().toString());
    }

    private static void refused(Supplier<Boolean> elevated, Map<String, String> env,
                                StandInAcls acls, String why) {
        IOException e = assertThrows(IOException.class, () -> PackedHelper.program(elevated, env::get, acls).path());
        assertTrue(e.getMessage().contains(why) && e.getMessage().contains("system property trayredraw.program"),
                   e.getMessage());
        String folder = env.get("CommonProgramFiles");
        assertFalse(folder != null && Files.exists(Paths.get(folder, "trayredraw", name)), "a copy was written");
    }

    private static AclEntry allow(UserPrincipal who, AclEntryPermission what) {
        return AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(who).setPermissions(what).build();
    }

    /** Windows' access lists, played by maps: Java reads none on other systems. */
    static final class StandInAcls implements AdminFolder.Acls {
        final UserPrincipal administrators = () -> "Administrators";
        final UserPrincipal system = () -> "SYSTEM";
        final UserPrincipal users = () -> "Users";
        final UserPrincipal me = () -> "me";
        final Map<Path, UserPrincipal> owners = new HashMap<>();
        final Map<Path, List<AclEntry>> acls = new HashMap<>();

        @Override
        public UserPrincipal account(String sid) {
            return sid.equals("S-1-5-32-544") ? administrators : sid.equals("S-1-5-18") ? system
                   : sid.equals("S-1-5-32-545") ? users : null;
        }

        @Override
        public void createDirectory(Path dir, List<AclEntry> acl) throws IOException {
            acls.put(Files.createDirectory(dir), acl);
        }

        // What an elevated administrator makes belongs to the administrators.
        @Override
        public UserPrincipal owner(Path file) {
            return owners.getOrDefault(file, administrators);
        }

        @Override
        public List<AclEntry> acl(Path file) {
            return acls.getOrDefault(file, Collections.emptyList());
        }
    }

    private static List<String> names(Path folder) throws Exception {
        try (Stream<Path> files = Files.list(folder)) {
            return files.map(p -> p.getFileName().toString()).sorted().collect(Collectors.toList());
        }
    }
}
