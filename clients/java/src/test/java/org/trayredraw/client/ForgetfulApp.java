// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;

/**
 * An application that registers and then ends without closing its clients, for the
 * tests that the JVM's exit withdraws the ports all the same and that a run takes back
 * the ports of the run before.
 *
 * <pre>ForgetfulApp CLIENTS HELPER [LAUNCHER...]</pre>
 *
 * Prints "port" and the clients' ports on one line, then ends when a line (or the end)
 * arrives on standard input.
 */
public final class ForgetfulApp {
    public static void main(String[] args) throws Exception {
        List<String> launcher = Arrays.asList(args).subList(2, args.length);
        StringBuilder ports = new StringBuilder("port");
        for (int i = Integer.parseInt(args[0]); i > 0; i--)
            ports.append(' ').append(TrayRedrawClient.open(launcher, () -> Paths.get(args[1]), 0, () -> {}).port());
        System.out.println(ports);
        System.out.flush();
        new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII)).readLine();
    }
}
