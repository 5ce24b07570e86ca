// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.EventQueue;
import java.io.Closeable;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

/** The keeper with a stand-in for the system tray, which a virtual display lacks. */
class TrayIconKeeperTest {

    /** Records what is done to the icon, and whether on the event thread. */
    private static final class StandInTray implements TrayIconKeeper.Tray {
        final List<String> done = Collections.synchronizedList(new ArrayList<>());
        volatile boolean shows = true;

        @Override
        public boolean shows() {
            return shows;
        }

        @Override
        public void remove() {
            done.add("remove" + (EventQueue.isDispatchThread() ? "" : " off the event thread"));
        }

        @Override
        public void add() {
            done.add("add" + (EventQueue.isDispatchThread() ? "" : " off the event thread"));
        }
    }

    @Test
    void eachRedrawAddsTheShownIconAgainOnTheEventThread() throws Exception {
        StandInTray tray = new StandInTray();
        AtomicReference<Runnable> callback = new AtomicReference<>();
        AtomicInteger withdrawn = new AtomicInteger();
        TrayIconKeeper keeper = TrayIconKeeper.keep(tray, true, onRedraw -> {
            callback.set(onRedraw);
            return (Closeable) withdrawn::incrementAndGet;
        });

        redrawFromTheClientsThread(callback.get());
        assertEquals(Arrays.asList("remove", "add"), tray.done);

        // An icon the application has taken away is not brought back.
        tray.shows = false;
        redrawFromTheClientsThread(callback.get());
        assertEquals(Arrays.asList("remove", "add"), tray.done);

        keeper.close();
        assertEquals(1, withdrawn.get(), "withdrawals");
    }

    @Test
    void elsewhereNothingIsRegistered() {
        TrayIconKeeper keeper = TrayIconKeeper.keep(new StandInTray(), false, onRedraw -> fail("registered"));
        keeper.close();
    }

    private static void redrawFromTheClientsThread(Runnable callback) throws Exception {
        Thread client = new Thread(callback, "trayredraw-callback");
        client.start();
        client.join();
        EventQueue.invokeAndWait(() -> {});  // what the callback handed over has run
    }
}
