// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.Closeable;
import java.io.File;
import java.io.IOException;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Keeps an application's tray icon alive across Explorer restarts, with the help of
 * trayredraw.exe.
 *
 * <p>The client listens for UDP datagrams on 127.0.0.1 and registers its port with the
 * helper by launching it. When the shell creates a new taskbar, the helper sends
 * "redrawtray"; the client answers "redrawok" at once and then runs the application's
 * callback, which should add the tray icon again. Callbacks run one at a time on a
 * thread of their own, never on the thread that answers, so a slow callback never makes
 * the helper (and every other client waiting behind it) wait.
 *
 * <pre>{@code
 * TrayRedrawClient client = TrayRedrawClient.open(
 *         () -> SwingUtilities.invokeLater(this::addTrayIconAgain));
 * ...
 * client.close();   // also done at JVM exit if forgotten
 * }</pre>
 *
 * <p>The jar carries trayredraw.exe; {@link #open(Runnable)} runs a copy of it from the
 * user's local application data. Applications that ship the program themselves name it
 * with {@link #open(String, Runnable)}. For an AWT tray icon, {@link TrayIconKeeper} does
 * all of this in one call.
 *
 * <p>The registration heals itself: the client repeats its "start" now and then (every
 * ten minutes unless {@link #renewEvery} says otherwise). While the helper runs, a
 * repeated start changes nothing; when the helper has gone away, it makes a new one.
 *
 * <p>The client reports through {@code java.util.logging}, logger
 * {@code org.trayredraw.client.TrayRedrawClient}, and only what the application should know:
 * a WARNING when a "start" launch fails, since the icon will then not be redrawn, and
 * when a withdrawal at JVM exit fails. It writes nothing to the standard streams.
 */
public final class TrayRedrawClient implements Closeable {

    private static final byte[] REQUEST = "redrawtray".getBytes(StandardCharsets.US_ASCII);
    // With its NUL, as the helper's own exchange writes it; the helper reads the text
    // up to the first NUL, so the NUL costs nothing and suits a reader that wants it.
    private static final byte[] ACK = "redrawok\0".getBytes(StandardCharsets.US_ASCII);
    // A request is 11 bytes; anything longer is cut to this much, which is still
    // enough to tell that it is no request.
    private static final int RECEIVE_BUFFER = 512;
    // A "change" or "stop" launch returns once the helper has handled it, but the helper
    // handles nothing while it notifies clients, and one client that never answers
    // holds it for 14 s. Past this the launch is left to deliver its command by itself.
    private static final long LAUNCH_WAIT_SECONDS = 20;
    // A "start" launched moments ago may not yet have handed its command over, nor,
    // finding no helper, have become one. A change or stop that overtook it would be
    // undone by it: the old port registered again, or a new helper left serving a port
    // that is closed. Launching and creating a window takes milliseconds on Windows and
    // well under this even under Wine; a command that reaches a busy helper queues
    // behind the start's in the order they were sent.
    private static final long START_SETTLE_MS = 3000;
    private static final long DEFAULT_RENEWAL_MINUTES = 10;
    /** Whether this JVM runs on Windows, the only system the helper is for. */
    static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    private static final File NULL_FILE = new File(WINDOWS ? "NUL" : "/dev/null");
    private static final Logger LOG = Logger.getLogger(TrayRedrawClient.class.getName());

    private final List<String> launcher;
    private final String helper;
    private final Runnable onRedraw;
    private final ExecutorService callbacks;
    private final AtomicBoolean redrawPending = new AtomicBoolean();
    private final Thread shutdownHook;
    private final Process registration;
    private final ScheduledExecutorService renewals;

    private Listener listener;          // guarded by this
    private boolean closed;             // guarded by this
    private Process lastStart;          // guarded by this
    private long lastStartNanos;        // guarded by this
    private ScheduledFuture<?> renewal; // guarded by this

    /**
     * Listens on a free port that the system picks and registers it with the helper that
     * this jar carries. The program is copied once to %LOCALAPPDATA%\trayredraw (the
     * temporary folder where that is not set) as trayredraw-HASH.exe, HASH being the
     * first 16 hex digits of its SHA-256, and reused from there by every application
     * that uses this version of the client.
     *
     * @param onRedraw what adds the tray icon again; runs on the client's own thread
     * @return the client, listening and registered
     * @throws IOException if the program cannot be copied, no port can be opened or the
     *     helper cannot be launched
     * @throws UnsupportedOperationException on systems other than Windows, which have no
     *     use for the helper
     */
    public static TrayRedrawClient open(Runnable onRedraw) throws IOException {
        if (!WINDOWS)
            throw new UnsupportedOperationException("trayredraw.exe serves Windows only");
        return openPacked(PackedHelper.defaultFolder(), Collections.<String>emptyList(), onRedraw);
    }

    /** The program this jar carries, copied into {@code folder} and launched from there. */
    static TrayRedrawClient openPacked(Path folder, List<String> launcher, Runnable onRedraw)
            throws IOException {
        return open(launcher, PackedHelper.install(folder).toString(), 0, onRedraw);
    }

    /**
     * Listens on a free port that the system picks and registers it with the helper at
     * {@code helperPath}, launched directly: for applications that ship the program
     * themselves.
     *
     * @param helperPath the path of trayredraw.exe
     * @param onRedraw what adds the tray icon again; runs on the client's own thread
     * @return the client, listening and registered
     * @throws IOException if no port can be opened or the helper cannot be launched
     */
    public static TrayRedrawClient open(String helperPath, Runnable onRedraw) throws IOException {
        return open(Collections.<String>emptyList(), helperPath, 0, onRedraw);
    }

    /**
     * Listens on 127.0.0.1:{@code port} (0: a free port the system picks) and registers
     * it by launching {@code launcher + [helperPath, "start", PORT]}. The launcher is
     * usually empty; {@code ["wine"]} runs the helper under Wine.
     *
     * @param launcher what the command line starts with before the helper's path
     * @param helperPath the path of trayredraw.exe
     * @param port the UDP port to listen on, or 0 for a free one
     * @param onRedraw what adds the tray icon again; runs on the client's own thread
     * @return the client, listening and registered
     * @throws IOException if the port cannot be opened or the helper cannot be launched
     */
    public static TrayRedrawClient open(List<String> launcher, String helperPath, int port,
                                        Runnable onRedraw) throws IOException {
        return new TrayRedrawClient(launcher, helperPath, port, onRedraw);
    }

    private TrayRedrawClient(List<String> launcher, String helperPath, int port, Runnable onRedraw)
            throws IOException {
        if (helperPath == null || onRedraw == null)
            throw new NullPointerException();
        this.launcher = new ArrayList<>(launcher);
        this.helper = helperPath;
        this.onRedraw = onRedraw;
        this.callbacks = Executors.newSingleThreadExecutor(r -> daemon(r, "trayredraw-callback"));
        this.listener = new Listener(port);
        try {
            this.registration = start(listener.port());
        } catch (IOException e) {
            listener.close();
            callbacks.shutdown();
            throw e;
        }
        this.renewals = Executors.newSingleThreadScheduledExecutor(r -> daemon(r, "trayredraw-renewal"));
        renewEvery(DEFAULT_RENEWAL_MINUTES, TimeUnit.MINUTES);
        this.shutdownHook = new Thread(this::closeAtExit, "trayredraw-shutdown");
        Runtime.getRuntime().addShutdownHook(shutdownHook);
    }

    /**
     * The UDP port this client listens on now.
     *
     * @return the port on 127.0.0.1
     */
    public synchronized int port() {
        return listener.port();
    }

    /**
     * Sets how often the client repeats its "start" from now on: every {@code interval},
     * or never for 0; the default is every ten minutes. A repeated start changes nothing
     * while the helper runs. When the helper has gone away (ended from outside, crashed,
     * or ended by another client's "stop" while it held one port), the next repetition
     * makes a new helper, and each client is served again after its own next repetition.
     * Nothing is reported unless a launch fails. A closed client repeats nothing.
     *
     * @param interval the time between two starts, or 0 for none
     * @param unit the unit of {@code interval}
     * @throws IllegalArgumentException if {@code interval} is negative
     */
    public synchronized void renewEvery(long interval, TimeUnit unit) {
        if (interval < 0)
            throw new IllegalArgumentException("negative interval: " + interval);
        if (renewal != null)
            renewal.cancel(false);
        renewal = null;
        if (!closed && interval > 0)
            renewal = renewals.scheduleWithFixedDelay(this::renew, interval, interval, unit);
    }

    /**
     * Moves to another port (0: a free one the system picks) and tells the helper with
     * "change OLD NEW". The new port listens before the helper learns of it and the old
     * one keeps answering until the helper has handled the change, so no request is
     * missed on the way.
     *
     * @param newPort the UDP port to listen on from now on, or 0 for a free one
     * @throws IOException if the new port cannot be opened or the helper cannot be
     *     launched; the client then stays on its old port
     */
    public synchronized void moveTo(int newPort) throws IOException {
        if (closed)
            throw new IOException("client is closed");
        Listener old = listener;
        Listener moved = new Listener(newPort);
        try {
            settleStart();
            runToEnd("change", String.valueOf(old.port()), String.valueOf(moved.port()));
        } catch (IOException e) {
            moved.close();
            throw e;
        }
        listener = moved;
        old.close();
    }

    /**
     * Withdraws the port with "stop PORT" and releases it. A callback already requested
     * may still run. Closing twice does nothing.
     *
     * @throws IOException if the helper could not be launched or failed; the port is
     *     released all the same
     */
    @Override
    public void close() throws IOException {
        if (!markClosed())
            return;
        try {
            Runtime.getRuntime().removeShutdownHook(shutdownHook);
        } catch (IllegalStateException shuttingDown) {
            // The hook is running or about to; this close does its work first.
        }
        release();
    }

    /** The first "start" launch, for tests that must know when it has been forwarded. */
    Process registration() {
        return registration;
    }

    private void closeAtExit() {
        if (!markClosed())
            return;
        try {
            release();
        } catch (IOException e) {
            LOG.log(Level.WARNING, "trayredraw: withdrawing the port at exit failed", e);
        }
    }

    // Once closed, no repetition starts: one that holds the lock first has launched,
    // and release() lets it settle before its stop.
    private synchronized boolean markClosed() {
        if (closed)
            return false;
        closed = true;
        if (renewal != null)
            renewal.cancel(false);
        renewals.shutdown();
        return true;
    }

    private synchronized void release() throws IOException {
        try {
            settleStart();
            // Stop first: the helper may be notifying right now and waits for our answer.
            runToEnd("stop", String.valueOf(listener.port()));
        } finally {
            listener.close();
            callbacks.shutdown();
        }
    }

    /** One port on 127.0.0.1 and the thread that answers on it. */
    private final class Listener {
        private final DatagramSocket socket;
        private final int port;  // kept: a closed socket no longer tells
        private final Thread thread;

        Listener(int port) throws IOException {
            InetAddress loopback = InetAddress.getByAddress(new byte[] {127, 0, 0, 1});
            socket = new DatagramSocket(new InetSocketAddress(loopback, port));
            this.port = socket.getLocalPort();
            thread = daemon(this::receive, "trayredraw-receiver-" + this.port);
            thread.start();
        }

        int port() {
            return port;
        }

        // A socket closed while a thread waits in it is released only once that thread
        // has left; waiting for it means the port is free when close or moveTo returns.
        void close() {
            socket.close();
            try {
                thread.join(1000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
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
                    // Closing the socket ends the receive this way; anything else
                    // concerns one datagram only, and the next one is served as usual.
                }
            }
        }
    }

    // The text up to the first NUL (or the whole datagram without one) must be exactly
    // "redrawtray": the rule the helper applies to our answer, applied to its request.
    // It accepts the helper's 11 bytes and a sender that leaves out the NUL; anything
    // else reaching the port gets neither an answer nor a redraw.
    private static boolean isRequest(DatagramPacket p) {
        byte[] data = p.getData();
        int start = p.getOffset();
        int end = start + p.getLength();
        int textEnd = start;
        while (textEnd < end && data[textEnd] != 0)
            textEnd++;
        return Arrays.equals(Arrays.copyOfRange(data, start, textEnd), REQUEST);
    }

    // Requests that arrive while a callback is still waiting to run are served by that
    // run: a redraw after the latest request is all an icon needs, and a helper that
    // repeats its request must not cause a second redraw. A request that arrives while
    // the callback runs gets one more run after it.
    private void requestRedraw() {
        if (!redrawPending.compareAndSet(false, true))
            return;
        try {
            callbacks.execute(this::runCallback);
        } catch (RejectedExecutionException closing) {
            redrawPending.set(false);
        }
    }

    private void runCallback() {
        redrawPending.set(false);
        try {
            onRedraw.run();
        } catch (RuntimeException e) {
            // Reported like any uncaught exception, but the thread stays for the next
            // redraw, and answering never depended on it.
            Thread t = Thread.currentThread();
            t.getUncaughtExceptionHandler().uncaughtException(t, e);
        }
    }

    // Launches the helper with its output discarded at the source: a pipe nobody reads
    // could block it, and a resident helper would hold the pipe for its whole life.
    private Process launch(String... command) throws IOException {
        List<String> line = new ArrayList<>(launcher);
        line.add(helper);
        line.addAll(Arrays.asList(command));
        return new ProcessBuilder(line)
                .redirectInput(ProcessBuilder.Redirect.from(NULL_FILE))
                .redirectOutput(ProcessBuilder.Redirect.to(NULL_FILE))
                .redirectError(ProcessBuilder.Redirect.to(NULL_FILE))
                .start();
    }

    private synchronized void renew() {
        if (closed)
            return;
        try {
            start(listener.port());
        } catch (IOException e) {
            LOG.log(Level.WARNING, "trayredraw: could not launch the helper to repeat the registration of port "
                    + listener.port() + "; the tray icon may not be added again when the taskbar is created anew", e);
        }
    }

    // The first "start" on a desktop becomes the resident helper and lives on, so it is
    // never waited for. A thread of its own watches it instead: a start that ends with
    // another code than 0 means this client will not hear of the next taskbar.
    private synchronized Process start(int port) throws IOException {
        Process p = launch("start", String.valueOf(port));
        lastStart = p;
        lastStartNanos = System.nanoTime();
        daemon(() -> report(p, port), "trayredraw-start-" + port).start();
        return p;
    }

    private void settleStart() {
        long left = START_SETTLE_MS - (System.nanoTime() - lastStartNanos) / 1_000_000;
        if (left <= 0)
            return;
        try {
            lastStart.waitFor(left, TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private static void report(Process start, int port) {
        int code;
        try {
            code = start.waitFor();
        } catch (InterruptedException e) {
            return;
        }
        if (code != 0)
            LOG.warning(startFailure(port, code));
    }

    private static String startFailure(int port, int code) {
        String consequence = "; the tray icon will not be added again when the taskbar is created anew";
        switch (code) {
        case 1:
            return "trayredraw could not create its window (start " + port + ", exit code 1)" + consequence;
        case 2:
            return "trayredraw refused to register port " + port + " (exit code 2): the resident helper"
                   + " runs with higher privileges than this application, and the system does not let"
                   + " its command through" + consequence;
        default:
            return "trayredraw start " + port + " ended with exit code " + code + consequence;
        }
    }

    private void runToEnd(String... command) throws IOException {
        Process p = launch(command);
        try {
            if (p.waitFor(LAUNCH_WAIT_SECONDS, TimeUnit.SECONDS) && p.exitValue() != 0)
                throw new IOException("trayredraw " + String.join(" ", command)
                                      + " ended with exit code " + p.exitValue());
        } catch (InterruptedException e) {
            // Leave the launch to finish by itself; keep the interrupt for the caller.
            Thread.currentThread().interrupt();
        }
    }

    private static Thread daemon(Runnable r, String name) {
        Thread t = new Thread(r, name);
        t.setDaemon(true);
        return t;
    }
}
