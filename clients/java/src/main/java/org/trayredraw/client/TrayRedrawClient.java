// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.io.Closeable;
import java.io.File;
import java.io.IOException;
import java.io.InterruptedIOException;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.SocketException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.RejectedExecutionException;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Tells an application when the taskbar has been created anew, with the help of
 * trayredraw.exe, so that it can add its tray icon again.
 *
 * <p>When Explorer restarts, the shell announces the new taskbar to every top-level
 * window, and each tray icon must be added again. Whoever has such a window hears it;
 * AWT's tray has one, and in a JVM that is not elevated it adds every AWT icon again by
 * itself. This client is for the rest: an elevated JVM, whose windows the system shuts
 * to the announcement of the less privileged shell (the helper it launches runs
 * elevated too and lets it through), and tray code of its own without such a window.
 * For an AWT tray icon, {@link TrayIconKeeper} decides which case applies and does the
 * rest in one call.
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
 * <p>The jar carries trayredraw.exe; {@link #open(Runnable)} runs a copy of it (from the
 * user's local application data, or in an elevated JVM from a folder only
 * administrators can change), or the program that the system property
 * {@code trayredraw.program} names. Applications that ship the program themselves name
 * it with {@link #open(Path, Runnable)}. Each client is one registration of its own;
 * each takes one of the helper's ten places.
 *
 * <p>The registration heals itself: the client repeats its "start" now and then (every
 * ten minutes unless {@link #renewEvery} says otherwise). While the helper runs, a
 * repeated start changes nothing; when the helper has gone away, it makes a new one.
 *
 * <p>The client reports through {@code java.util.logging}, logger
 * {@code org.trayredraw.client.TrayRedrawClient}, and only what the application should know:
 * one WARNING for a run of "start" launches that fail or are refused, since the icon
 * will then not be redrawn, and a WARNING when a withdrawal fails or does not end in
 * time. A closed client reports nothing more. It writes nothing to the standard streams.
 */
public final class TrayRedrawClient implements Closeable {

    private static final byte[] REQUEST = "redrawtray".getBytes(StandardCharsets.US_ASCII);
    // With its NUL, as the helper's own exchange writes it; the helper reads the text
    // up to the first NUL, so the NUL costs nothing and suits a reader that wants it.
    private static final byte[] ACK = "redrawok\0".getBytes(StandardCharsets.US_ASCII);
    // A request is 11 bytes; anything longer is cut to this much, which is still
    // enough to tell that it is no request.
    private static final int RECEIVE_BUFFER = 512;
    /** The system property that names an installed trayredraw.exe to use instead of the copy. */
    static final String PROGRAM_PROPERTY = "trayredraw.program";
    // The timings below are fields, not constants, so that tests can shorten them.
    // A "change" or "stop" launch returns once the helper has handled it, but the helper
    // handles nothing while it notifies clients, and one client that never answers
    // holds it for 14 s. Past this the launch is left to deliver its command by itself.
    static volatile long launchWaitMs = 20_000;
    // A "start" launched moments ago may not yet have handed its command over, nor,
    // finding no helper, have become one. A change or stop that overtook it would be
    // undone by it: the old port registered again, or a new helper left serving a port
    // that is closed. Launching and creating a window takes milliseconds on Windows and
    // well under this even under Wine; a command that reaches a busy helper queues
    // behind the start's in the order they were sent.
    static volatile long startSettleMs = 3000;
    // How long the JVM's exit waits for a "stop" that is still on its way.
    static volatile long exitWaitMs = 5000;
    // A start that could not be launched (the copy held open by a virus scanner, a
    // launch refused for a moment) is tried again after pauses that double from this to
    // LAST_RETRY_MS; after that, at the next renewal.
    static volatile long firstRetryMs = 1000;
    private static final long LAST_RETRY_MS = 64_000;
    private static final Duration DEFAULT_RENEWAL = Duration.ofMinutes(10);
    /** Whether this JVM runs on Windows, the only system the helper is for. */
    static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    /** Where a launched program's standard streams go: nowhere. */
    static final File NULL_FILE = new File(WINDOWS ? "NUL" : "/dev/null");
    private static final Logger LOG = Logger.getLogger(TrayRedrawClient.class.getName());

    // The ports of this JVM's clients that are closing, each with what completes once
    // the port is free and no stop for it is still on its way to the helper: true, or
    // false where the stop's launch has not ended and may yet withdraw the port. A client
    // opening next takes the application's port back only after its stop, so that the
    // helper hears "stop" before the new "start".
    private static final Map<Integer, CompletableFuture<Boolean>> RELEASING = new ConcurrentHashMap<>();

    /** Where the program is for a launch; the jar's copy is checked, and made again if it has gone. */
    interface Program {
        Path path() throws IOException;

        /**
         * The program for one launch, held as it was checked until closed once the launch
         * has started. Only the jar's copy is held (see {@link PackedHelper}).
         */
        default PackedHelper.Held hold() throws IOException {
            return new PackedHelper.Held(path(), null);
        }
    }

    private final List<String> launcher;
    private final Program program;
    private final Runnable onRedraw;
    private final ExecutorService callbacks;
    private final AtomicBoolean redrawPending = new AtomicBoolean();
    private final Thread shutdownHook;
    private final ScheduledExecutorService renewals;
    // Held for each launch and what it waits for, never by close(): a start must not
    // slip in between a change and the port it moves, and a stop comes last.
    private final Object launches = new Object();

    private volatile Process registration;
    private Listener listener;          // guarded by this
    private boolean closed;             // guarded by this
    private Thread stopper;             // guarded by this; the background stop, once closed
    private Process lastStart;          // guarded by this
    private long lastStartNanos;        // guarded by this
    private boolean startsFailing;      // guarded by this; a failed start was reported, none has served since
    private ScheduledFuture<?> renewal; // guarded by this
    private long retryPauseMs;          // guarded by launches; 0: the last start was launched
    // Completes when the stop after close() is done; see RELEASING.
    private final CompletableFuture<Boolean> released = new CompletableFuture<>();

    /**
     * Listens on a port of the application's own and registers it with the helper that
     * this jar carries. The program is copied once to %LOCALAPPDATA%\trayredraw (the
     * temporary folder where that is not set) as trayredraw-HASH.exe, HASH being the
     * first 16 hex digits of its SHA-256, and reused from there by every application
     * that uses this version of the client. An elevated JVM, or one whose elevation
     * cannot be told, copies it instead to %CommonProgramFiles%\trayredraw, a folder
     * that only administrators and the system may change, and launches nothing where
     * no such folder can be had. Before each launch the copy is held open against
     * writing and deletion and checked, until the launch has started. Where the system
     * property {@code trayredraw.program} names a program, that one is used instead: an
     * installed, signed copy under Program Files, for machines whose policy runs no
     * program from the user's own folders.
     *
     * <p>The port is the same each time the application runs (see
     * {@link #open(Path, int, Runnable)}), and the call waits until the copy is made and
     * the helper is launched: call it off the event dispatch thread.
     *
     * @param onRedraw what adds the tray icon again; runs on the client's own thread
     * @return the client, listening and registered
     * @throws IOException if the program cannot be copied or launched (also where the
     *     system property names no usable path), or no port can be opened
     * @throws UnsupportedOperationException on systems other than Windows, which have no
     *     use for the helper
     */
    public static TrayRedrawClient open(Runnable onRedraw) throws IOException {
        return open(null, 0, onRedraw);
    }

    /**
     * Listens on a port of the application's own and registers it with the helper at
     * {@code program}, launched directly: for applications that ship the program
     * themselves, such as an installer that puts a signed trayredraw.exe under Program
     * Files.
     *
     * @param program the path of trayredraw.exe, or null for the copy of the jar's (as
     *     {@link #open(Runnable)})
     * @param onRedraw what adds the tray icon again; runs on the client's own thread
     * @return the client, listening and registered
     * @throws IOException if no port can be opened or the helper cannot be launched
     * @throws UnsupportedOperationException if {@code program} is null on a system other
     *     than Windows
     */
    public static TrayRedrawClient open(Path program, Runnable onRedraw) throws IOException {
        return open(program, 0, onRedraw);
    }

    /**
     * Listens on 127.0.0.1:{@code port} and registers it by launching
     * {@code program start PORT}, with the program's folder as working directory.
     *
     * <p>Port 0 asks for a port of the application's own: the same one each time the
     * application runs (the user, the class path and the main class being the same,
     * whatever the folder it was started from), so that an application ended from
     * outside, which could not withdraw its port, takes it back when it starts again
     * instead of filling another of the helper's ten places. The first few clients of
     * one JVM each get one of their own, and a client opened after one was closed gets
     * the closed one's back once its stop is done; where all are taken, a free port the
     * system picks.
     *
     * @param program the path of trayredraw.exe, or null for the copy of the jar's (as
     *     {@link #open(Runnable)})
     * @param port the UDP port to listen on, or 0 for the application's own
     * @param onRedraw what adds the tray icon again; runs on the client's own thread
     * @return the client, listening and registered
     * @throws IOException if the port cannot be opened or the helper cannot be launched
     * @throws UnsupportedOperationException if {@code program} is null on a system other
     *     than Windows
     * @throws IllegalArgumentException if {@code port} is outside 0 to 65535
     */
    public static TrayRedrawClient open(Path program, int port, Runnable onRedraw) throws IOException {
        if (program == null && !WINDOWS)
            throw new UnsupportedOperationException("trayredraw.exe serves Windows only");
        return open(Collections.<String>emptyList(), program(program), port, onRedraw);
    }

    /**
     * Launches {@code launcher + [PROGRAM, command...]}: for tests, which run the program
     * under Wine, or play it with a shell.
     */
    static TrayRedrawClient open(List<String> launcher, Program program, int port, Runnable onRedraw)
            throws IOException {
        if (port < 0 || port > 0xffff)
            throw new IllegalArgumentException("no UDP port: " + port);
        return new TrayRedrawClient(launcher, program, port, onRedraw, false);
    }

    /** The program this jar carries, copied into {@code folder} and launched from there. */
    static TrayRedrawClient openPacked(Path folder, List<String> launcher, Runnable onRedraw)
            throws IOException {
        return new TrayRedrawClient(launcher, PackedHelper.in(folder), 0, onRedraw, false);
    }

    /**
     * A client that comes up whether or not its first start can be launched, and tries
     * again until one is: for the keepers, which must not give up on a machine where the
     * copy or the launch fails for a moment.
     */
    static TrayRedrawClient openRetrying(List<String> launcher, Program program, Runnable onRedraw)
            throws IOException {
        return new TrayRedrawClient(launcher, program, 0, onRedraw, true);
    }

    /**
     * The program to launch: the one named (by the application, else by the system
     * property {@code trayredraw.program}), else the copy of the jar's.
     */
    static Program program(Path named) {
        if (named != null)
            return () -> named;
        String property = System.getProperty(PROGRAM_PROPERTY, "").trim();
        if (!property.isEmpty())
            return () -> Paths.get(property);
        return PackedHelper.program();
    }

    // A failed open leaves nothing behind: no port, no thread, no shutdown hook.
    private TrayRedrawClient(List<String> launcher, Program program, int port, Runnable onRedraw,
                             boolean retryFirstStart) throws IOException {
        if (onRedraw == null)
            throw new NullPointerException("onRedraw");
        this.launcher = new ArrayList<>(launcher);
        this.program = program;
        this.onRedraw = onRedraw;
        this.callbacks = Executors.newSingleThreadExecutor(r -> daemon(r, "trayredraw-callback"));
        this.renewals = Executors.newSingleThreadScheduledExecutor(r -> daemon(r, "trayredraw-renewal"));
        this.shutdownHook = new Thread(this::closeAtExit, "trayredraw-shutdown");
        Listener first = null;
        try {
            first = port == 0 ? applicationListener() : new Listener(port);
            synchronized (this) {
                listener = first;
            }
            synchronized (launches) {
                try {
                    registration = start(first.port());
                } catch (IOException e) {
                    if (!retryFirstStart)
                        throw e;
                    startFailed(first.port(), e);
                }
            }
            renewEvery(DEFAULT_RENEWAL);
            Runtime.getRuntime().addShutdownHook(shutdownHook);
        } catch (IOException | RuntimeException e) {
            if (first != null)
                first.close();
            callbacks.shutdownNow();
            renewals.shutdownNow();
            if (e instanceof IOException)
                throw (IOException) e;
            throw new IOException("trayredraw: the client could not be opened", e);
        }
    }

    // The application's own ports first, so that a restart takes its slot back. A port
    // of this JVM's that a closed client still holds is taken once its stop is done.
    private Listener applicationListener() throws IOException {
        for (int candidate : ApplicationPort.candidates()) {
            if (!stopDone(RELEASING.get(candidate)))
                continue;
            try {
                return new Listener(candidate);
            } catch (SocketException taken) {
                // Another client of this JVM, another instance, or another program.
            }
        }
        return new Listener(0);
    }

    // Whether a closing client's port, if any, is free and will hear of no stop. Its stop
    // waits at most for a start to settle and for its own launch, so this ends too.
    private static boolean stopDone(CompletableFuture<Boolean> released) throws IOException {
        if (released == null)
            return true;
        try {
            return released.get(startSettleMs + launchWaitMs + 1000, TimeUnit.MILLISECONDS);
        } catch (TimeoutException | ExecutionException e) {
            return false;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new InterruptedIOException("interrupted while a closed client's stop ran");
        }
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
     * or never for {@link Duration#ZERO}; the default is every ten minutes. A repeated
     * start changes nothing while the helper runs. When the helper has gone away (ended
     * from outside, crashed, or ended by another client's "stop" while it held one port),
     * the next repetition makes a new helper, and each client is served again after its
     * own next repetition.
     * A start that cannot be launched is tried again after 1, 2, 4 and up to 64 s, and
     * then at the next repetition; its first failure is logged as a WARNING. Starts that
     * end with an error (exit code 2: refused) are one WARNING too, until a start serves
     * again. A closed client repeats nothing.
     *
     * @param interval the time between two starts, or zero for none
     * @throws IllegalArgumentException if {@code interval} is negative
     */
    public synchronized void renewEvery(Duration interval) {
        if (interval.isNegative())
            throw new IllegalArgumentException("negative interval: " + interval);
        if (renewal != null)
            renewal.cancel(false);
        renewal = null;
        long ms = interval.toMillis();
        if (!closed && ms > 0)
            renewal = renewals.scheduleWithFixedDelay(this::renew, ms, ms, TimeUnit.MILLISECONDS);
    }

    /**
     * Moves to another port (0: a free one the system picks) and tells the helper with
     * "change OLD NEW". The new port listens before the helper learns of it and the old
     * one keeps answering until the helper has handled the change, so no request is
     * missed on the way. This waits for the launch, at most 20 s (a helper busy with a
     * client that does not answer); call it off the event dispatch thread.
     *
     * @param newPort the UDP port to listen on from now on, or 0 for a free one
     * @throws IOException if the new port cannot be opened or the helper cannot be
     *     launched; the client then stays on its old port
     */
    public void moveTo(int newPort) throws IOException {
        synchronized (launches) {
            Listener old;
            synchronized (this) {
                if (closed)
                    throw new IOException("client is closed");
                old = listener;
            }
            Listener moved = new Listener(newPort);
            try {
                settleStart();
                runToEnd("change", String.valueOf(old.port()), String.valueOf(moved.port()));
            } catch (IOException e) {
                moved.close();
                throw e;
            }
            synchronized (this) {
                listener = moved;
            }
            old.close();
        }
    }

    /**
     * Withdraws the port with "stop PORT" and releases it, in the background: this
     * returns at once, on any thread, also while the helper is busy. The port keeps
     * answering until the helper has handled the stop, but runs no more callbacks; one
     * already requested may still run. At the JVM's exit a stop still on its way is
     * waited for, 5 s at most, and not reported: {@code java.util.logging} closes its
     * handlers at exit by itself. A stop that fails or does not end within 20 s is logged
     * as a WARNING. Where the helper cannot hold the port (the last start failed or was
     * refused, or the helper it became has ended), no stop is launched. Closing twice
     * does nothing.
     */
    @Override
    public void close() {
        Thread stop;
        synchronized (this) {
            if (closed)
                return;
            closed = true;
            if (renewal != null)
                renewal.cancel(false);
            // Also drops a start waiting to be tried again.
            renewals.shutdownNow();
            stop = daemon(this::release, "trayredraw-stop-" + listener.port());
            stopper = stop;
            RELEASING.put(listener.port(), released);
        }
        stop.start();
    }

    /** The first "start" launch, for tests that must know when it has been forwarded. */
    Process registration() {
        return registration;
    }

    /** Waits for the background stop after {@link #close()}; tells whether it ended in time. */
    boolean awaitStop(long ms) throws InterruptedException {
        Thread stop;
        synchronized (this) {
            stop = stopper;
        }
        if (stop == null)
            return false;
        stop.join(ms);
        return !stop.isAlive();
    }

    // A stop still on its way when the JVM exits is waited for, but a record logged now
    // would most likely be lost: java.util.logging resets its handlers in a shutdown hook
    // of its own, which runs beside this one.
    private void closeAtExit() {
        close();
        try {
            awaitStop(exitWaitMs);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    // On the stopper's thread. The port is read once no move holds the launches: a close
    // during moveTo withdraws the port the helper knows by then.
    private void release() {
        int port = -1;
        boolean stopped = false;
        try {
            synchronized (launches) {
                settleStart();
                boolean known;
                synchronized (this) {
                    port = listener.port();
                    RELEASING.put(port, released);
                    known = helperMayKnowPort();
                }
                // Stop first: the helper may be notifying right now and waits for our answer.
                stopped = !known || runToEnd("stop", String.valueOf(port));
            }
        } catch (IOException e) {
            // The launch failed or the helper refused it: no stop is on its way.
            stopped = true;
            LOG.log(Level.WARNING, "trayredraw: withdrawing port " + port + " failed; the helper may go on"
                                   + " sending to it", e);
        } finally {
            Listener last;
            synchronized (this) {
                last = listener;
            }
            last.close();
            released.complete(stopped);
            RELEASING.values().removeIf(released::equals);
            callbacks.shutdown();
            try {
                Runtime.getRuntime().removeShutdownHook(shutdownHook);
            } catch (IllegalStateException exiting) {
                // The hook is waiting for this very stop.
            }
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
        // A closed client answers until the helper has handled its stop, but the
        // application, done with it, hears of nothing more.
        synchronized (this) {
            if (closed)
                return;
        }
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
    // could block it, and a resident helper would hold the pipe for its whole life. Its
    // working directory is its own folder: a process holds its current folder open, and
    // the resident helper outlives the application, whose folder it would otherwise keep
    // from being deleted or renamed. The program is held from its check until the
    // process has started, so that the program that runs is the program that was
    // checked. Anything that goes wrong on the way (a path the system property names
    // that is no path throws InvalidPathException) is an IOException: the launch failed.
    private Process launch(String... command) throws IOException {
        try (PackedHelper.Held held = program.hold()) {
            Path path = held.path().toAbsolutePath();
            List<String> line = new ArrayList<>(launcher);
            line.add(path.toString());
            line.addAll(Arrays.asList(command));
            Path folder = path.getParent();
            return new ProcessBuilder(line)
                    .directory(folder == null ? null : folder.toFile())
                    .redirectInput(ProcessBuilder.Redirect.from(NULL_FILE))
                    .redirectOutput(ProcessBuilder.Redirect.to(NULL_FILE))
                    .redirectError(ProcessBuilder.Redirect.to(NULL_FILE))
                    .start();
        } catch (RuntimeException e) {
            throw new IOException("trayredraw: cannot launch the helper: " + e.getMessage(), e);
        }
    }

    // On the renewal thread: a repetition, or a start that failed tried again.
    private void renew() {
        synchronized (launches) {
            int port;
            synchronized (this) {
                if (closed)
                    return;
                port = listener.port();
            }
            try {
                Process p = start(port);
                if (registration == null)
                    registration = p;
                if (retryPauseMs > 0)
                    LOG.info("trayredraw: port " + port + " is registered after all");
                retryPauseMs = 0;
            } catch (IOException e) {
                startFailed(port, e);
            } catch (RuntimeException e) {
                // A task that throws would end every later renewal.
                startFailed(port, new IOException(e));
            }
        }
    }

    // Holding launches. One WARNING for a run of failures, then a quiet retry after each
    // pause; past the longest pause, the next renewal starts a new run.
    private void startFailed(int port, IOException e) {
        if (retryPauseMs >= LAST_RETRY_MS) {
            retryPauseMs = 0;
            LOG.log(Level.FINE, "trayredraw: still no launch for port " + port + "; trying again at the next renewal", e);
            return;
        }
        retryPauseMs = retryPauseMs == 0 ? firstRetryMs : 2 * retryPauseMs;
        Level level = retryPauseMs == firstRetryMs ? Level.WARNING : Level.FINE;
        LOG.log(level, "trayredraw: could not launch the helper to register port " + port + "; trying again in "
                + retryPauseMs + " ms. Until then the tray icon will not be added again when the taskbar is"
                + " created anew", e);
        synchronized (this) {
            if (!closed)
                renewals.schedule(this::renew, retryPauseMs, TimeUnit.MILLISECONDS);
        }
    }

    // The first "start" on a desktop becomes the resident helper and lives on, so it is
    // never waited for. A thread of its own watches it instead: a start that ends with
    // another code than 0 means this client will not hear of the next taskbar. Called
    // holding launches.
    private Process start(int port) throws IOException {
        Process p = launch("start", String.valueOf(port));
        synchronized (this) {
            lastStart = p;
            lastStartNanos = System.nanoTime();
        }
        daemon(() -> report(p, port), "trayredraw-start-" + port).start();
        return p;
    }

    // Whether the helper may hold our port: the last start may have registered it (it
    // runs, as the resident helper or waiting for a busy one, or ended with 0). A start
    // that failed or was refused, or a resident helper that has ended, holds none.
    private boolean helperMayKnowPort() {
        return lastStart != null && (lastStart.isAlive() || lastStart.exitValue() == 0);
    }

    private void settleStart() {
        Process start;
        long left;
        synchronized (this) {
            start = lastStart;
            left = startSettleMs - (System.nanoTime() - lastStartNanos) / 1_000_000;
        }
        if (start == null || left <= 0)
            return;
        try {
            start.waitFor(left, TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    // A start ends within moments unless it became the resident helper (or waits for a
    // busy one): one that ends later with another code than 0 was the helper, ended from
    // outside (Task Manager ends it with 1), and the next renewal makes another. Failed
    // starts are a WARNING once, until a start serves again, not at every renewal.
    private void report(Process start, int port) {
        int code;
        boolean quick;
        try {
            quick = start.waitFor(startSettleMs, TimeUnit.MILLISECONDS);
            if (!quick) {
                synchronized (this) {
                    startsFailing = false;
                }
            }
            code = start.waitFor();
        } catch (InterruptedException e) {
            return;
        }
        Level level;
        synchronized (this) {
            if (closed)
                return;
            if (code == 0) {
                startsFailing = false;
                return;
            }
            level = startsFailing || !quick ? Level.FINE : Level.WARNING;
            if (quick)
                startsFailing = true;
        }
        LOG.log(level, quick ? startFailure(port, code)
                : "trayredraw: the resident helper, started for port " + port + ", ended with exit code " + code
                  + "; the next renewal starts another");
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

    // A launch that does not end in time is left to deliver its command by itself, and
    // said so: the helper is busy with a client that does not answer, or hangs.
    // Tells whether the launch ended (the helper has handled its command).
    private boolean runToEnd(String... command) throws IOException {
        Process p = launch(command);
        String line = "trayredraw " + String.join(" ", command);
        try {
            if (!p.waitFor(launchWaitMs, TimeUnit.MILLISECONDS)) {
                LOG.warning(line + " had not ended after " + launchWaitMs / 1000.0 + " s; it is left to"
                            + " deliver its command by itself");
                return false;
            }
        } catch (InterruptedException e) {
            // Leave the launch to finish by itself; keep the interrupt for the caller.
            Thread.currentThread().interrupt();
            return false;
        }
        if (p.exitValue() != 0)
            throw new IOException(line + " ended with exit code " + p.exitValue());
        return true;
    }

    private static Thread daemon(Runnable r, String name) {
        Thread t = new Thread(r, name);
        t.setDaemon(true);
        return t;
    }
}
