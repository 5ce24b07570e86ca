// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.consumer;

import java.awt.TrayIcon;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

import org.trayredraw.client.TrayIconKeeper;
import org.trayredraw.client.TrayRedrawClient;

/**
 * An application with the library as its dependency. It copies the program the
 * dependency carries to PROGRAM_COPY and opens a client on PROGRAM, a script that runs
 * that copy under Wine (here, where {@code TrayRedrawClient.open(Runnable)} does not
 * apply), waits for one redraw, closes its client and ends.
 *
 * <pre>Consumer PROGRAM_COPY PROGRAM</pre>
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
        Path copy = Paths.get(args[0]);
        try (InputStream in = TrayRedrawClient.class.getResourceAsStream("trayredraw.exe")) {
            if (in == null)
                throw new IllegalStateException("the dependency carries no trayredraw.exe");
            Files.copy(in, copy, StandardCopyOption.REPLACE_EXISTING);
        }
        CountDownLatch redrawn = new CountDownLatch(1);
        TrayRedrawClient client = TrayRedrawClient.open(Paths.get(args[1]), redrawn::countDown);
        System.out.println("consumer: listening on port " + client.port());
        boolean heard = redrawn.await(30, TimeUnit.SECONDS);
        client.close();
        System.out.println(heard ? "consumer: heard a redraw, closed" : "consumer: no redraw within 30 s");
        System.exit(heard ? 0 : 1);
    }
}
