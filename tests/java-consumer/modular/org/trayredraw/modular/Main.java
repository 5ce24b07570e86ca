// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.modular;

import org.trayredraw.client.TrayRedrawClient;

/**
 * Runs the library from a runtime image and says from which module, and whether the image
 * holds the two modules the library needs on Windows: the JDK's view of the token, read
 * instead of starting a process, and its share modes, which hold the program it launches.
 */
public final class Main {
    public static void main(String[] args) {
        String refused;
        try {
            TrayRedrawClient.open(() -> {}).close();
            refused = "no";
        } catch (UnsupportedOperationException e) {
            refused = "yes";
        }
        System.out.println(TrayRedrawClient.class.getModule().getName() + " refused a client off Windows: " + refused
                + "; in the image: jdk.security.auth " + ModuleLayer.boot().findModule("jdk.security.auth").isPresent()
                + ", jdk.unsupported " + ModuleLayer.boot().findModule("jdk.unsupported").isPresent());
    }
}
