// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.Closeable;
import java.io.File;
import java.io.IOException;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.SocketException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Tells tray code of an application's own when the Windows taskbar has been created anew,
 * through trayredraw.exe, so that it can add its icon again: code with no window of its
 * own to hear the shell, or whose window the system shuts to it in an elevated JVM. For an
 * AWT {@code TrayIcon}, {@link TrayIconKeeper} does all of it.
 *
 * <pre>{@code
 * TrayRedrawClient client = TrayRedrawClient.open(() -> addMyIconAgain());
 * ...
 * client.close();   // also done at the JVM's exit if forgotten
 * }</pre>
 *
 * <p>The client listens on a UDP port of 127.0.0.1, the same each time the application
 * runs, registers it by launching {@code trayredraw.exe start PORT}, and repeats that start
 * every ten minutes, which makes a new helper where the last one has gone. The program is
 * the one the system property {@code trayredraw.program} names, else a copy of the one this
 * jar carries. It logs through {@code java.util.logging} (logger
 * {@code org.trayredraw.client.TrayRedrawClient}): a WARNING when starts begin to fail or
 * be refused, an INFO when one serves again, a WARNING when a withdrawal fails.
 */
public final class TrayRedrawClient implements Closeable {

    private static final Logger LOG = Logger.getLogger(TrayRedrawClient.class.getName());
    private static final byte[] REQUEST = "redrawtray".getBytes(StandardCharsets.US_ASCII);
    // With its NUL, as the helper writes its own request; it reads up to the first NUL.
    private static final byte[] ACK = "redrawok\0".getBytes(StandardCharsets.US_ASCII);
    // A request is 11 bytes; anything longer is cut to this, still enough to tell it is none.
    private static final int RECEIVE_BUFFER = 512;

    // Every launch of this JVM's clients, and their ports' binding and release, one at a
    // time in the order asked: a stop never overtakes the start before it, a new client's
    // start never the stop of the one closed before it, and a closed client's port is free
    // again when the next client binds.
    private static final ScheduledExecutorService LANE =
            Executors.newSingleThreadScheduledExecutor(r -> daemon(r, "trayredraw-launch"));

    private final Setup setup;
    private final Runnable onRedraw;
    private final TrayIconKeeper.Listener reports;  // the keepers' news of the helper
    private final ExecutorService callbacks = Executors.newSingleThreadExecutor(r -> daemon(r, "trayredraw-callback"));
    private final AtomicBoolean redrawPending = new AtomicBoolean();
    private final Thread exitHook = new Thread(this::closeAtExit, "trayredraw-exit");
    private final CompletableFuture<Void> withdrawn = new CompletableFuture<>();
    private final Object lock = new Object();
    private boolean closed;      // guarded by lock
    private Future<?> next;      // guarded by lock: the next renewal
    // On the lane only.
    private DatagramSocket socket;
    private int port;
    private Thread receiver;
    private Process start;       // the last start launched
    private long retryMs;        // 0 while starts serve; else the pause before the next try

    private TrayRedrawClient(Setup setup, Runnable onRedraw, TrayIconKeeper.Listener reports) {
        this.setup = setup;
        this.onRedraw = Objects.requireNonNull(onRedraw, "onRedraw");
        this.reports = reports != null ? reports : new TrayIconKeeper.Listener() {};
    }

    /**
     * Opens a client whose callback runs each time the taskbar is created anew, and
     * registers it with the helper. Returns at once, on any thread: binding the port,
     * copying the program and launching it happen on a thread of the library's own.
     *
     * @param onRedraw what adds the tray icon again; runs on the client's own thread, one
     *     run at a time, after the helper's request has been answered; an exception it
     *     throws goes to that thread's uncaught-exception handler
     * @return the client, whose {@link #close()} withdraws the registration
     * @throws UnsupportedOperationException off Windows, which the helper does not serve
     * @throws NullPointerException if {@code onRedraw} is null
     */
    public static TrayRedrawClient open(Runnable onRedraw) {
        return open(Setup.SYSTEM, onRedraw, null);
    }

    static TrayRedrawClient open(Setup setup, Runnable onRedraw, TrayIconKeeper.Listener reports) {
        if (!setup.windows)
            throw new UnsupportedOperationException("trayredraw.exe serves Windows only");
        TrayRedrawClient client = new TrayRedrawClient(setup, onRedraw, reports);
        Runtime.getRuntime().addShutdownHook(client.exitHook);  // before anything is launched
        client.schedule(0);
        return client;
    }

    /**
     * Withdraws the registration with "stop PORT" and releases the port, in the background:
     * returns at once, on any thread. No callback begins after this returns. At the JVM's
     * exit a withdrawal still on its way is waited for, five seconds at most. Closing twice
     * does nothing.
     */
    @Override
    public void close() {
        synchronized (lock) {
            if (closed)
                return;
            closed = true;
            if (next != null)
                next.cancel(false);
        }
        LANE.execute(this::withdraw);
    }

    /** The port, once bound (tests). */
    int port() throws Exception {
        awaitLane();
        return port;
    }

    /** The last start, once launched (tests). */
    Process registration() throws Exception {
        awaitLane();
        return start;
    }

    /** Waits for the withdrawal after {@link #close()}; tells whether it ended in time. */
    boolean awaitWithdrawn(long ms) {
        try {
            withdrawn.get(ms, TimeUnit.MILLISECONDS);
            return true;
        } catch (Exception e) {
            return false;
        }
    }

    /** Waits until what the lane has been given so far is done (tests). */
    static void awaitLane() throws Exception {
        LANE.submit(() -> {}).get();
    }

    private void schedule(long ms) {
        synchronized (lock) {
            if (!closed)
                next = LANE.schedule(this::renew, ms, TimeUnit.MILLISECONDS);
        }
    }

    // On the lane: the first start, a repetition, or a failed one tried again after pauses
    // that double up to the renewal's. One WARNING when starts begin to fail, one INFO when
    // they serve again.
    private void renew() {
        synchronized (lock) {
            if (closed)
                return;
        }
        IOException failure = null;
        try {
            if (socket == null)
                bind();
            // A start that still runs became the resident helper, or waits on a window that
            // does not answer: another beside it would change nothing, or wait as well.
            if (start == null || !start.isAlive())
                failure = startNow();
        } catch (IOException | RuntimeException e) {
            failure = e instanceof IOException ? (IOException) e : new IOException(e);
        }
        if (failure == null && retryMs > 0) {
            LOG.info("trayredraw: the helper serves this application again");
            reports.helperRecovered();
        } else if (failure != null) {
            LOG.log(retryMs == 0 ? Level.WARNING : Level.FINE, "trayredraw: the tray icon will not be added again when"
                    + " the taskbar is created anew: " + failure.getMessage(), failure);
            if (retryMs == 0)
                reports.helperFailed(failure);
        }
        retryMs = failure == null ? 0 : Math.min(setup.renewMs, retryMs == 0 ? setup.retryMs : 2 * retryMs);
        schedule(failure == null ? setup.renewMs : retryMs);
    }

    // The application's own ports first, so that a run after one that was killed takes its
    // place back; a port the system picks where they are taken.
    private void bind() throws IOException {
        InetAddress loopback = InetAddress.getByAddress(new byte[] {127, 0, 0, 1});
        for (int candidate : ApplicationPort.candidates()) {
            try {
                socket = new DatagramSocket(new InetSocketAddress(loopback, candidate));
                break;
            } catch (SocketException taken) {
                // by another client of this JVM, another instance, or another program
            }
        }
        if (socket == null)
            socket = new DatagramSocket(new InetSocketAddress(loopback, 0));
        port = socket.getLocalPort();
        receiver = daemon(this::receive, "trayredraw-receiver-" + port);
        receiver.start();
    }

    // Launches "start PORT" and tells how it went. A start hands its port over within
    // moments where a helper runs; one that runs past the settle time became the resident
    // helper, or waits for a busy one.
    private IOException startNow() throws IOException {
        Process p = start = launch("start", String.valueOf(port));
        try {
            if (!p.waitFor(setup.settleMs, TimeUnit.MILLISECONDS) || p.exitValue() == 0)
                return null;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return null;
        }
        int code = p.exitValue();
        return new IOException(code == 2 ? "the resident helper refused the start (exit code 2): it runs with higher"
                + " privileges than this application, and the system does not let the command through"
                : "trayredraw start ended with exit code " + code);
    }

    // On the lane. A stop ends the helper whenever it holds one port, whichever port it
    // names; and the helper that took our port may have ended since, and another
    // application's start made a new one that knows its own port alone. So a start first
    // puts our port beside the others (changing nothing where it is there), and the stop
    // then takes ours away, or ends a helper that served us alone. Where no start of ours
    // ever served, the helper holds nothing of ours and hears nothing.
    private void withdraw() {
        try {
            if (start != null && (start.isAlive() || start.exitValue() == 0 && startNow() == null)) {
                Process stop = launch("stop", String.valueOf(port));
                if (!stop.waitFor(setup.stopWaitMs, TimeUnit.MILLISECONDS))
                    LOG.warning("trayredraw stop " + port + " had not ended after " + setup.stopWaitMs / 1000.0
                                + " s (the helper is busy); it is left to deliver its command by itself");
                else if (stop.exitValue() != 0)
                    LOG.warning("trayredraw stop " + port + " ended with exit code " + stop.exitValue());
            }
        } catch (IOException | RuntimeException e) {
            LOG.log(Level.WARNING, "trayredraw: withdrawing port " + port + " failed; the helper may go on sending"
                    + " to it", e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        } finally {
            if (socket != null) {
                // A socket is free only once the receive waiting in it has left.
                socket.close();
                try {
                    receiver.join(1000);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
            callbacks.shutdown();
            try {
                Runtime.getRuntime().removeShutdownHook(exitHook);
            } catch (IllegalStateException exiting) {
                // the hook is waiting for this very withdrawal
            }
            withdrawn.complete(null);
        }
    }

    // A record logged now would most likely be lost: java.util.logging resets its handlers
    // in a shutdown hook of its own.
    private void closeAtExit() {
        close();
        awaitWithdrawn(setup.exitWaitMs);
    }

    // The helper's output is discarded at the source: a pipe nobody reads could block it,
    // and a resident helper would hold the pipe for its whole life. It works in its own
    // folder: a process holds its current folder open, and the helper outlives the
    // application, whose folder it would otherwise keep from being deleted or renamed.
    private Process launch(String... command) throws IOException {
        try (Program program = Program.hold(setup)) {
            List<String> line = new ArrayList<>(setup.launcher);
            line.add(program.path.toString());
            line.addAll(Arrays.asList(command));
            File nul = new File(Program.WINDOWS_FILES ? "NUL" : "/dev/null");
            return new ProcessBuilder(line).directory(program.path.getParent().toFile())
                    .redirectInput(ProcessBuilder.Redirect.from(nul))
                    .redirectOutput(ProcessBuilder.Redirect.to(nul))
                    .redirectError(ProcessBuilder.Redirect.to(nul))
                    .start();
        }
    }

    private void receive() {
        byte[] buffer = new byte[RECEIVE_BUFFER];
        DatagramPacket packet = new DatagramPacket(buffer, buffer.length);
        while (!socket.isClosed()) {
            try {
                packet.setLength(buffer.length);
                socket.receive(packet);
                if (!isRequest(packet))
                    continue;
                socket.send(new DatagramPacket(ACK, ACK.length, packet.getSocketAddress()));
                requestRedraw();
            } catch (IOException e) {
                // the socket closed, or one datagram that went wrong
            }
        }
    }

    // The text up to the first NUL must be "redrawtray": the helper's rule for our answer.
    private static boolean isRequest(DatagramPacket p) {
        int end = p.getOffset();
        while (end < p.getOffset() + p.getLength() && p.getData()[end] != 0)
            end++;
        return Arrays.equals(Arrays.copyOfRange(p.getData(), p.getOffset(), end), REQUEST);
    }

    // Requests that arrive while a run waits to start are served by that run: a redraw
    // after the latest request is all an icon needs. One that arrives while the callback
    // runs gets one more run after it.
    private void requestRedraw() {
        if (!redrawPending.compareAndSet(false, true))
            return;
        try {
            callbacks.execute(() -> {
                redrawPending.set(false);
                synchronized (lock) {
                    if (closed)
                        return;
                }
                try {
                    onRedraw.run();
                } catch (RuntimeException e) {
                    // Reported like any uncaught exception; the thread stays for the next redraw.
                    Thread t = Thread.currentThread();
                    t.getUncaughtExceptionHandler().uncaughtException(t, e);
                }
            });
        } catch (RejectedExecutionException closing) {
            redrawPending.set(false);
        }
    }

    static Thread daemon(Runnable r, String name) {
        Thread t = new Thread(r, name);
        t.setDaemon(true);
        return t;
    }
}
