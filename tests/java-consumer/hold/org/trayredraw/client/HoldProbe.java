// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.OpenOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;

/**
 * Opens a file with each option that holds the library's program on Windows, from inside
 * the library, and names those this system refuses: Windows' share modes, where found.
 */
public final class HoldProbe {
    public static void main(String[] args) throws Exception {
        Path file = Files.createTempFile("hold", ".exe");
        StringBuilder refused = new StringBuilder("refused here:");
        for (OpenOption option : Program.holdOptions(true)) {
            try (FileChannel held = FileChannel.open(file, StandardOpenOption.READ, option)) {
                continue;
            } catch (UnsupportedOperationException e) {
                refused.append(' ').append(option);
            }
        }
        Files.delete(file);
        System.out.println(refused);
    }
}
