// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.GroupPrincipal;
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

/**
 * Where a launch's program comes from: the copy of the jar's program in a plain folder that
 * stands in for %LOCALAPPDATA% or %CommonProgramFiles%, or a named program.
 */
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
        Path copy = Program.install(folder, program);
        assertEquals(folder.resolve(name), copy);
        assertArrayEquals(program, Files.readAllBytes(copy));
        assertEquals(Collections.singletonList(name), names(folder), "nothing but the copy is left");

        // A copy that may be running is left as it is, not written again.
        FileTime longAgo = FileTime.fromMillis(86_400_000L);
        Files.setLastModifiedTime(copy, longAgo);
        assertEquals(copy, Program.install(folder, program));
        assertEquals(longAgo, Files.getLastModifiedTime(copy), "the copy was written again");
    }

    @Test
    void aDamagedOrPartialCopyIsReplaced(@TempDir Path folder) throws Exception {
        byte[] damaged = program.clone();
        damaged[damaged.length / 2] ^= 0x55;
        byte[][] bad = {damaged, Arrays.copyOf(program, program.length / 2), new byte[0]};
        for (byte[] content : bad) {
            Files.write(folder.resolve(name), content);
            assertEquals(folder.resolve(name), Program.install(folder, program));
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
                        return Files.readAllBytes(Program.install(folder, program));
                    }));
                for (Future<byte[]> s : seen)
                    assertArrayEquals(program, s.get(), "what an application was handed in round " + round);
                assertEquals(Collections.singletonList(name), names(folder), "round " + round);
            }
        } finally {
            pool.shutdownNow();
        }
    }

    // A JVM that is not elevated: the user's own folder, or none (never the temporary
    // folder, where another user may have made trayredraw\ first). One that is, or cannot
    // tell: a folder it makes with exactly its own list, although Windows merges in what
    // the parent passes on, and no one else may open the copy.
    @Test
    void theCopysPlaceFollowsTheJvmsElevation(@TempDir Path dir) throws Exception {
        TestSetup setup = new TestSetup();
        setup.env.put("LOCALAPPDATA", dir.resolve("local").toString());
        setup.env.put("CommonProgramFiles", Files.createDirectory(dir.resolve("common")).toString());
        assertEquals(dir.resolve("local/trayredraw/" + name), held(setup));
        for (Boolean elevated : new Boolean[] {true, null}) {  // made, then found
            setup.elevated = elevated;
            assertEquals(dir.resolve("common/trayredraw/" + name), held(setup));
        }
        assertEquals("[BUILTIN\\Administratoren, NT-AUTORITÄT\\SYSTEM]", setup.acls.acl(dir.resolve("common/trayredraw"))
                .stream().map(e -> e.principal().getName()).collect(Collectors.toList()).toString(), "may use the folder");
        setup.elevated = false;
        setup.env.remove("LOCALAPPDATA");
        refused(setup, "names no LOCALAPPDATA folder");
        setup.elevated = true;
        setup.env.clear();  // a service's JVM may have neither
        refused(setup, "names no CommonProgramFiles folder");
    }

    // Every folder from the root down, two levels above the copy as much as its own; a
    // link anywhere on the way; lists that are not there, or that Java cannot read.
    @Test
    void aPlaceThatLessPrivilegedProgramsCouldChangeIsNotUsed(@TempDir Path dir) throws Exception {
        TestSetup setup = new TestSetup();
        setup.elevated = true;
        StandInAcls acls = setup.acls;
        Path g = Files.createDirectories(dir.resolve("G/P/Q"));
        acls.owners.put(dir.resolve("G"), StandInAcls.ME);
        refusedAt(setup, g, dir.resolve("G") + " belongs to PC\\me, not to the administrators");

        Path parent = Files.createDirectories(dir.resolve("parent/P"));
        acls.acls.put(parent.getParent(), Collections.singletonList(StandInAcls.allow(StandInAcls.ME,
                AclEntryPermission.DELETE_CHILD)));
        refusedAt(setup, parent, "PC\\me may move away or replace " + parent.getParent());

        Path real = Files.createDirectories(dir.resolve("real/P"));
        Path link = Files.createSymbolicLink(dir.resolve("link"), real.getParent());
        refusedAt(setup, link.resolve("P"), link + " is a link");
        assertEquals(Collections.emptyList(), names(real), "written through the link");

        Path open = Files.createDirectories(dir.resolve("open/P"));
        acls.acls.put(open, Collections.emptyList());  // how Java shows a list that is not there
        refusedAt(setup, open, open + " has no access list that Java can read");
        acls.acls.put(open, Collections.singletonList(StandInAcls.allow(StandInAcls.USERS)));
        refusedAt(setup, open, "BUILTIN\\Users has rights on " + open + " that Java cannot read");
    }

    // What is checked once the program is held, through that hold: the copy's bytes, who
    // may open or change the program, what it is, and its place again.
    @Test
    void theHeldProgramIsCheckedAgain(@TempDir Path dir) throws Exception {
        TestSetup setup = new TestSetup();
        setup.elevated = true;
        Path common = Files.createDirectory(dir.resolve("common"));
        setup.env.put("CommonProgramFiles", common.toString());
        Path copy = common.resolve("trayredraw").resolve(name);
        assertEquals(copy, held(setup));

        setup.acls.onRead.put(copy, () -> Files.write(copy, "MZ, not the program".getBytes("US-ASCII")));
        refused(setup, copy + " changed after it was made");
        setup.acls.onRead.put(copy, () -> setup.acls.owners.put(copy.getParent(), StandInAcls.ME));
        refused(setup, copy.getParent() + " belongs to PC\\me");
        setup.acls.owners.clear();
        setup.acls.acls.put(copy, Collections.singletonList(StandInAcls.allow(StandInAcls.USERS,
                AclEntryPermission.READ_DATA)));
        refused(setup, "BUILTIN\\Users may open " + copy);
    }

    // A named program: an absolute path, and for an elevated JVM the same checks.
    @Test
    void aNamedProgramIsAbsoluteAndCheckedWhereTheJvmIsElevated(@TempDir Path dir) throws Exception {
        TestSetup setup = new TestSetup();
        Path installed = Files.createFile(Files.createDirectory(dir.resolve("App")).resolve("trayredraw.exe"));
        for (String named : new String[] {"trayredraw.exe", "\\\\host\\share\\trayredraw.exe", "bad\0path"}) {
            setup.properties.put(Program.PROPERTY, named);
            refused(setup, "which is no absolute path");
        }
        setup.properties.put(Program.PROPERTY, installed.toString());
        setup.acls.acls.put(installed.getParent(), Collections.singletonList(StandInAcls.allow(StandInAcls.ME,
                AclEntryPermission.WRITE_DATA)));
        assertEquals(installed, held(setup), "where the JVM is not elevated");
        setup.elevated = null;
        refused(setup, "PC\\me may change " + installed.getParent());
        setup.acls.acls.clear();
        Path link = Files.createSymbolicLink(dir.resolve("link.exe"), installed);
        setup.properties.put(Program.PROPERTY, link.toString());
        refused(setup, "");
    }

    private static Path held(TestSetup setup) throws IOException {
        try (Program p = Program.hold(setup.build())) {
            return p.path;
        }
    }

    // Nothing is made or written in a place before it has passed.
    private static void refusedAt(TestSetup setup, Path folder, String why) {
        setup.env.put("CommonProgramFiles", folder.toString());
        refused(setup, why);
        assertFalse(Files.exists(folder.resolve("trayredraw")), "made in " + folder);
    }

    private static void refused(TestSetup setup, String why) {
        IOException e = assertThrows(IOException.class, () -> held(setup));
        assertTrue(e.getMessage().contains(why), e.getMessage());
        if (!Boolean.FALSE.equals(setup.elevated))
            assertTrue(e.getMessage().contains("system property trayredraw.program"), e.getMessage());
    }

    /**
     * Windows' access lists, played by maps: Java reads none on other systems. What a test
     * sets nothing for belongs to the administrators and has its folder's list, up to the
     * lists of Program Files; a new folder's list is what it is given and what its parent
     * passes on, as on Windows.
     */
    static final class StandInAcls implements SafeFolder.Acls {
        // Accounts as Java shows Windows' ones: equal, and hashed, by their SIDs.
        static final UserPrincipal ADMINISTRATORS = group("BUILTIN\\Administratoren", "S-1-5-32-544");
        static final UserPrincipal SYSTEM = group("NT-AUTORITÄT\\SYSTEM", "S-1-5-18");
        static final UserPrincipal USERS = group("BUILTIN\\Users", "S-1-5-32-545");
        static final UserPrincipal ME = () -> "PC\\me";
        final Map<Path, UserPrincipal> owners = new HashMap<>();
        final Map<Path, List<AclEntry>> acls = new HashMap<>();
        /** Made once, when the list of its path is next read: a change behind the check's back. */
        final Map<Path, Change> onRead = new HashMap<>();

        interface Change {
            Object make() throws IOException;
        }

        static UserPrincipal group(String name, String sid) {
            return new GroupPrincipal() {
                @Override
                public String getName() {
                    return name;
                }

                @Override
                public int hashCode() {
                    return sid.hashCode();
                }
            };
        }

        static AclEntry allow(UserPrincipal who, AclEntryPermission... what) {
            return AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(who)
                    .setPermissions(what.length == 0 ? EnumSet.noneOf(AclEntryPermission.class) : EnumSet.copyOf(Arrays.asList(what)))
                    .build();
        }

        @Override
        public void createDirectory(Path dir, List<AclEntry> acl) throws IOException {
            List<AclEntry> merged = new ArrayList<>(acl);
            merged.add(allow(USERS, AclEntryPermission.READ_DATA));
            acls.put(Files.createDirectory(dir), merged);
        }

        // What an elevated administrator makes belongs to the administrators.
        @Override
        public UserPrincipal owner(Path file) {
            return owners.getOrDefault(file, ADMINISTRATORS);
        }

        @Override
        public List<AclEntry> acl(Path file) throws IOException {
            Change change = onRead.remove(file);
            if (change != null)
                change.make();
            for (Path p = file; p != null; p = p.getParent())
                if (acls.containsKey(p))
                    return acls.get(p);
            return Arrays.asList(allow(ADMINISTRATORS, AclEntryPermission.values()),
                                 allow(SYSTEM, AclEntryPermission.values()), allow(USERS, AclEntryPermission.READ_DATA));
        }

        @Override
        public void setAcl(Path file, List<AclEntry> acl) {
            acls.put(file, acl);
        }
    }

    private static List<String> names(Path folder) throws Exception {
        try (Stream<Path> files = Files.list(folder)) {
            return files.map(p -> p.getFileName().toString()).sorted().collect(Collectors.toList());
        }
    }
}
