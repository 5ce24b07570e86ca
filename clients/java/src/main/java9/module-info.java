// SPDX-License-Identifier: Apache-2.0
/**
 * Keeps a Java application's tray icon in the taskbar's notification area when Explorer
 * restarts, with the help of trayredraw.exe, which this module carries.
 *
 * <p>It reads the JDK's own view of the process's token ({@code jdk.security.auth}) to
 * tell whether the JVM runs elevated without starting a process, so a runtime image
 * made with jlink takes that module in too.
 */
module org.trayredraw.client {
    requires transitive java.desktop;
    requires java.logging;
    requires jdk.security.auth;

    exports org.trayredraw.client;
}
