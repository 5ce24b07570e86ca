// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.concurrent.locks.LockSupport;

/**
 * An application that registers and then ends without closing its clients, for the
 * tests that the JVM's exit withdraws the ports all the same and that a run takes back
 * the ports of the run before; or, with "late", one that opens a client in a shutdown
 * hook, when none can be opened.
 *
 * <pre>ForgetfulApp CLIENTS|late HELPER [LAUNCHER...]</pre>
 *
 * Prints "port" and the clients' ports on one line, then ends when a line (or the end)
 * arrives on standard input; with "late", prints what opening the client threw.
 */
public final class ForgetfulApp {
    public static void main(String[] args) throws Exception {
        TestSetup setup = new TestSetup();
        setup.launcher = Arrays.asList(args).subList(2, args.length);
        setup.properties.put(Program.PROPERTY, args[1]);
        if (args[0].equals("late")) {
            Runtime.getRuntime().addShutdownHook(new Thread(() -> {
                try {
                    TrayRedrawClient.open(setup.build(), () -> {}, null);
                } catch (RuntimeException e) {
                    System.out.println("refused: " + e);
                }
                LockSupport.parkNanos(1_000_000_000L);  // time for anything it set going
            }));
            return;
        }
        StringBuilder ports = new StringBuilder("port");
        for (int i = Integer.parseInt(args[0]); i > 0; i--)
            ports.append(' ').append(TrayRedrawClient.open(setup.build(), () -> {}, null).port());
        System.out.println(ports);
        System.out.flush();
        new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII)).readLine();
    }
}
