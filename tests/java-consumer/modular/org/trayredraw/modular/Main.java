// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.modular;

import java.nio.file.Paths;

import org.trayredraw.client.TrayRedrawClient;

/**
 * Opens and closes a client on a stand-in program that registers nothing, so that the
 * library runs in the image, and says from which module, and whether the image holds
 * the JDK's view of the token, which the library reads instead of starting whoami.
 */
public final class Main {
    public static void main(String[] args) throws Exception {
        try (TrayRedrawClient client = TrayRedrawClient.open(Paths.get(args[0]), () -> {})) {
            System.out.println(TrayRedrawClient.class.getModule().getName() + " listened on port " + client.port()
                    + "; jdk.security.auth in the image: "
                    + ModuleLayer.boot().findModule("jdk.security.auth").isPresent());
        }
    }
}
