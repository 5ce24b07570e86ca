// SPDX-License-Identifier: Apache-2.0
/**
 * Keeps a Java application's tray icon in the tray when the tray is made anew: when
 * Explorer restarts on Windows, or a tray host restarts or is replaced on Linux.
 *
 * <p>{@link org.trayredraw.client.TrayIconKeeper} adds an AWT tray icon in one line and
 * keeps it; {@link org.trayredraw.client.TrayRedrawClient} tells tray code of an
 * application's own when the Windows taskbar has been created anew, through
 * trayredraw.exe, which this jar carries.
 */
package org.trayredraw.client;
