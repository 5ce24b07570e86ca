// SPDX-License-Identifier: Apache-2.0
/**
 * Keeps a Java application's tray icon in the taskbar's notification area when Explorer
 * restarts, with the help of trayredraw.exe, which this jar carries.
 *
 * <p>AWT adds its icons again by itself, except in an elevated JVM, whose windows the
 * system shuts to the shell's announcement of a new taskbar.
 * {@link org.trayredraw.client.TrayIconKeeper} adds an AWT tray icon in one line and
 * keeps it where AWT cannot; {@link org.trayredraw.client.TrayRedrawClient} is the
 * client underneath, for tray code without a window that hears the announcement.
 */
package org.trayredraw.client;
