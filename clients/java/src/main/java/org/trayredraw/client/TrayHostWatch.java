// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.AWTEvent;
import java.awt.EventQueue;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.awt.event.InvocationEvent;
import java.beans.PropertyChangeEvent;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Set;
import java.util.WeakHashMap;

/**
 * Puts the kept icons back when a tray host returns. On X11 the tray is a program of its
 * own; when it ends, AWT sets {@link SystemTray}'s property "systemTray" to null, and
 * when a tray host is there again, back to the tray. What AWT does with the icons in
 * between is left to a race with the old host's departure: it either keeps the icon in
 * the tray and docks it again itself, or, where it sees the icon's window handed back
 * to the desktop first, takes the icon out of the tray for good, as if the application
 * had removed it. Both ways, removing the icon and adding it again once the host is back
 * brings it back every time. On Windows AWT fires no such change, and adds its icons
 * again itself where it hears of a new taskbar: nothing is installed there.
 */
final class TrayHostWatch {

    private static boolean installed;  // guarded by TrayHostWatch.class

    // Icons AWT took out of the tray as their tray host went, until they are added or
    // removed again. Weak: most of them are no keeper's.
    private static final Set<TrayIcon> DROPPED = Collections.synchronizedSet(
            Collections.newSetFromMap(new WeakHashMap<>()));

    private TrayHostWatch() {
    }

    /**
     * Listens for a tray host's departure and return, once per JVM, where there is a
     * tray to listen to; nothing on Windows. Called as a keeper of a real icon is made,
     * while there is a tray: until one is there, the next keeper tries again.
     */
    static synchronized void install() {
        if (installed || TrayRedrawClient.WINDOWS || !SystemTray.isSupported())
            return;
        SystemTray tray = SystemTray.getSystemTray();
        tray.addPropertyChangeListener("trayIcons", TrayHostWatch::iconsChanged);
        tray.addPropertyChangeListener("systemTray", change -> {
            // AWT tells on the event thread, and docks its icons again in a task it
            // queues after this one: the keepers' turn comes after that.
            if (change.getNewValue() != null)
                EventQueue.invokeLater(TrayHostWatch::putBack);
        });
        installed = true;
    }

    /** Whether AWT took {@code icon} out of the tray as its host went, and it is not back. */
    static boolean dropped(TrayIcon icon) {
        return DROPPED.contains(icon);
    }

    /** Forgets that AWT took {@code icon} out: the keeper takes it from here. */
    static void forget(TrayIcon icon) {
        DROPPED.remove(icon);
    }

    // On the event thread, within SystemTray's add or remove. AWT takes an icon out in a
    // task of its own whose source is the icon; an application's remove comes in an
    // event of its own (an action, a task of its own) and stays a remove.
    private static void iconsChanged(PropertyChangeEvent change) {
        List<Object> before = Arrays.asList((Object[]) change.getOldValue());
        List<Object> after = Arrays.asList((Object[]) change.getNewValue());
        AWTEvent now = EventQueue.getCurrentEvent();
        for (Object icon : before) {
            if (after.contains(icon))
                continue;
            if (now instanceof InvocationEvent && now.getSource() == icon)
                DROPPED.add((TrayIcon) icon);
            else
                DROPPED.remove(icon);
        }
        DROPPED.removeAll(after);
    }

    // On the event thread: each kept icon once, however many keepers keep it; an icon
    // the application has taken out of the tray meanwhile stays out.
    private static void putBack() {
        List<TrayIconKeeper.Keeping> kept;
        synchronized (TrayIconKeeper.KEPT) {
            kept = new ArrayList<>(TrayIconKeeper.KEPT.values());
        }
        for (TrayIconKeeper.Keeping keeping : kept)
            keeping.redraw();
    }
}
