// SPDX-License-Identifier: Apache-2.0
/**
 * Keeps a Java application's tray icon in the taskbar's notification area when Explorer
 * restarts, with the help of trayredraw.exe, which this jar carries.
 *
 * <p>{@link org.trayredraw.client.TrayIconKeeper} does it for an AWT tray icon in one
 * line; {@link org.trayredraw.client.TrayRedrawClient} is the client underneath, for
 * applications that redraw their icon themselves.
 */
package org.trayredraw.client;
