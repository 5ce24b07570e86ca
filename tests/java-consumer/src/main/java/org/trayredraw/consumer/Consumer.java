// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.consumer;

import java.awt.TrayIcon;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

import org.trayredraw.client.TrayIconKeeper;
import org.trayredraw.client.TrayRedrawClient;

/**
 * An application with the library as its dependency. It runs the program the dependency
 * carries, launched through LAUNCHER (Wine here, where {@code TrayRedrawClient.open(Runnable)}
 * does not apply), waits for one redraw, closes its client and ends.
 *
 * <pre>Consumer PROGRAM_COPY LAUNCHER...</pre>
 *
 * Exit code 0 once a redraw came and the client closed; 1 if none came within 30 s.
 */
public final class Consumer {

    // The README's line. A virtual display has no tray to run it on; compiled here, it
    // keeps building against the published artifact.
    static TrayIconKeeper readmeLine(TrayIcon icon) {
        TrayIconKeeper keeper = TrayIconKeeper.add(icon);
        return keeper;
    }

    public static void main(String[] args) throws Exception {
        Path program = Paths.get(args[0]);
        List<String> launcher = Arrays.asList(args).subList(1, args.length);
        try (InputStream in = TrayRedrawClient.class.getResourceAsStream("trayredraw.exe")) {
            if (in == null)
                throw new IllegalStateException("the dependency carries no trayredraw.exe");
            Files.copy(in, program, StandardCopyOption.REPLACE_EXISTING);
        }
        CountDownLatch redrawn = new CountDownLatch(1);
        TrayRedrawClient client = TrayRedrawClient.open(launcher, program.toString(), 0, redrawn::countDown);
        System.out.println("consumer: listening on port " + client.port());
        boolean heard = redrawn.await(30, TimeUnit.SECONDS);
        client.close();
        System.out.println(heard ? "consumer: heard a redraw, closed" : "consumer: no redraw within 30 s");
        System.exit(heard ? 0 : 1);
    }
}
