// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
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
import static org.junit.jupiter.api.Assertions.assertNotNull;
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

    private static List<String> names(Path folder) throws Exception {
        try (Stream<Path> files = Files.list(folder)) {
            return files.map(p -> p.getFileName().toString()).sorted().collect(Collectors.toList());
        }
    }
}
