// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.Closeable;
import java.io.IOException;
import java.nio.file.Path;
import java.util.Collections;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArraySet;

/**
 * The one client that all keepers of an application share: one port, one of the
 * helper's ten places and one set of threads, however many icons it keeps. It opens
 * with the first keeper that needs it and closes when the last one lets go.
 */
final class SharedClient {

    /** What opens the client; tests count the opening. */
    interface Opener {
        Closeable open(Path program, Runnable onRedraw) throws IOException;
    }

    /** This JVM's. */
    static final SharedClient JVM = new SharedClient((program, onRedraw) -> TrayRedrawClient.openRetrying(
            Collections.<String>emptyList(), TrayRedrawClient.program(program), onRedraw));

    private final Opener opener;
    private final Set<Runnable> redraws = new CopyOnWriteArraySet<>();  // changed holding this
    private Closeable client;  // guarded by this

    SharedClient(Opener opener) {
        this.opener = opener;
    }

    /**
     * Adds {@code onRedraw} to what runs on each redraw, opening the client if none is
     * open; the result takes it away again, and closes the client after the last one.
     */
    synchronized Closeable join(Runnable onRedraw, Path program) throws IOException {
        if (client == null)
            client = opener.open(program, this::redrawAll);
        redraws.add(onRedraw);
        return () -> leave(onRedraw);
    }

    private void leave(Runnable onRedraw) throws IOException {
        Closeable last;
        synchronized (this) {
            if (!redraws.remove(onRedraw) || !redraws.isEmpty())
                return;
            last = client;
            client = null;
        }
        last.close();  // the stop goes on in the background
    }

    private void redrawAll() {
        for (Runnable r : redraws)
            r.run();
    }
}
