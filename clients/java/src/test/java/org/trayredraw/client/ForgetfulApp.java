// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.List;

/**
 * An application that registers and then ends without closing its client, for the
 * test that the JVM's exit withdraws the port all the same.
 *
 * <pre>ForgetfulApp HELPER [LAUNCHER...]</pre>
 *
 * Prints its port, then ends when a line (or the end) arrives on standard input.
 */
public final class ForgetfulApp {
    public static void main(String[] args) throws Exception {
        List<String> launcher = Arrays.asList(args).subList(1, args.length);
        TrayRedrawClient client = TrayRedrawClient.open(launcher, args[0], 0, () -> {});
        System.out.println("port " + client.port());
        System.out.flush();
        new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII)).readLine();
    }
}
