// SPDX-License-Identifier: Apache-2.0
/**
 * Keeps a Java application's tray icon in the tray when the tray is made anew, with the
 * help of trayredraw.exe on Windows, which this module carries.
 *
 * <p>On Windows it reads the JDK's view of the process's token ({@code jdk.security.auth})
 * to tell whether the JVM runs elevated, and holds the program it launches with the JDK's
 * share modes ({@code jdk.unsupported}): a runtime image made with jlink takes both in.
 */
module org.trayredraw.client {
    requires transitive java.desktop;
    requires java.logging;
    requires jdk.security.auth;
    requires jdk.unsupported;

    exports org.trayredraw.client;
}
