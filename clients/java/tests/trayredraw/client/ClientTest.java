package trayredraw.client;

import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.SocketTimeoutException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

import static trayredraw.client.Check.equal;
import static trayredraw.client.Check.eventually;
import static trayredraw.client.Check.that;

/**
 * The client against the real helper. Explorer's restart is played by traytool: "pass"
 * sends "TaskbarCreated" to the helper and returns once the helper has served every
 * client, "broadcast" posts it to every top-level window as the shell does.
 *
 * <pre>ClientTest HELPER TRAYTOOL [LAUNCHER...]</pre>
 *
 * Every case starts on a desktop without a helper and leaves it so, also when it fails.
 */
public final class ClientTest {

    // A missed answer costs the helper its 0.4 s receive limit and a 1 s pause before
    // it asks again. A pass that ends sooner got every answer at the first request.
    private static final long ANSWERED_AT_ONCE_MS = 1400;

    private static String helper;
    private static String traytool;
    private static List<String> launcher;
    private static InetAddress loopback;

    private static final List<TrayRedrawClient> opened = new ArrayList<>();

    private interface Case {
        void run() throws Exception;
    }

    public static void main(String[] args) throws Exception {
        helper = args[0];
        traytool = args[1];
        launcher = Arrays.asList(args).subList(2, args.length);
        loopback = InetAddress.getByAddress(new byte[] {127, 0, 0, 1});

        Map<String, Case> cases = new LinkedHashMap<>();
        cases.put("two clients redraw once each per pass, by message and by broadcast",
                  ClientTest::twoClientsRedrawOncePerPass);
        cases.put("close withdraws the port, twice is once, the last close ends the helper",
                  ClientTest::closeWithdraws);
        cases.put("moving to another port: the new one is notified, the old one not",
                  ClientTest::moveToAnotherPort);
        cases.put("a callback that throws is reported and its client keeps answering",
                  ClientTest::throwingCallback);
        cases.put("a running callback holds up no answer, overlaps no other, loses no request",
                  ClientTest::slowCallback);
        cases.put("only redrawtray is answered, and to its sender",
                  ClientTest::onlyRequestsAnswered);
        cases.put("an application that forgets to close is withdrawn at exit",
                  ClientTest::forgottenClose);

        int passed = 0;
        int failed = 0;
        for (Map.Entry<String, Case> c : cases.entrySet()) {
            long start = System.nanoTime();
            Throwable failure = null;
            try {
                requireNoHelper();
                c.getValue().run();
            } catch (Throwable e) {
                failure = e;
            }
            try {
                if (!cleanUp() && failure == null)
                    failure = new AssertionError("the case left a helper running");
            } catch (Throwable e) {
                if (failure == null)
                    failure = e;
            }
            long ms = (System.nanoTime() - start) / 1_000_000;
            if (failure == null) {
                passed++;
                System.out.printf("PASS %s (%d ms)%n", c.getKey(), ms);
            } else {
                failed++;
                System.out.printf("FAIL %s (%d ms)%n", c.getKey(), ms);
                failure.printStackTrace(System.out);
            }
            System.out.flush();
        }
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }

    static void twoClientsRedrawOncePerPass() throws Exception {
        AtomicInteger a = new AtomicInteger();
        AtomicInteger b = new AtomicInteger();
        open(a::incrementAndGet);
        equal(0, tool("wait-helper", "10000"), "the first start became the resident helper");
        registered(open(b::incrementAndGet));

        passAnsweredAtOnce();
        that(eventually(() -> a.get() == 1 && b.get() == 1, 5000),
             "both callbacks ran: " + a + ", " + b);

        equal(0, tool("broadcast"), "traytool broadcast");
        that(eventually(() -> a.get() == 2 && b.get() == 2, 15000),
             "both callbacks ran again: " + a + ", " + b);
        Thread.sleep(300);
        equal(2, a.get(), "runs of the first callback");
        equal(2, b.get(), "runs of the second callback");
    }

    static void closeWithdraws() throws Exception {
        AtomicInteger a = new AtomicInteger();
        AtomicInteger b = new AtomicInteger();
        TrayRedrawClient first = open(a::incrementAndGet);
        equal(0, tool("wait-helper", "10000"), "the first start became the resident helper");
        TrayRedrawClient second = registered(open(b::incrementAndGet));

        first.close();
        // The helper ends on a stop while one port is left, whatever port it names: a
        // second stop from the same client would take the other one's helper away.
        first.close();
        passAnsweredAtOnce();  // a port left registered would cost the whole pass's retries
        that(eventually(() -> b.get() == 1, 5000), "the remaining client redrew");
        equal(0, a.get(), "runs of the closed client's callback");

        second.close();
        equal(0, tool("wait-gone", "10000"), "the helper ended with its last client");
    }

    static void moveToAnotherPort() throws Exception {
        AtomicInteger n = new AtomicInteger();
        TrayRedrawClient client = open(n::incrementAndGet);
        equal(0, tool("wait-helper", "10000"), "the start became the resident helper");

        int first = client.port();
        client.moveTo(0);
        int second = client.port();
        that(second != first, "moved off port " + first);
        int third = freePort();
        client.moveTo(third);
        equal(third, client.port(), "the port asked for");

        // Binding the old ports proves the client let them go; listening on them shows
        // whether the helper still sends there.
        try (DatagramSocket old1 = new DatagramSocket(new InetSocketAddress(loopback, first));
             DatagramSocket old2 = new DatagramSocket(new InetSocketAddress(loopback, second))) {
            passAnsweredAtOnce();
            that(eventually(() -> n.get() == 1, 5000), "the callback ran");
            // The pass has ended: anything it sent has arrived.
            equal(null, receive(old1, 100), "datagram on the first old port");
            equal(null, receive(old2, 100), "datagram on the second old port");
        }
    }

    static void throwingCallback() throws Exception {
        List<Throwable> reported = Collections.synchronizedList(new ArrayList<>());
        Thread.UncaughtExceptionHandler previous = Thread.getDefaultUncaughtExceptionHandler();
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> reported.add(e));
        try {
            AtomicInteger n = new AtomicInteger();
            open(() -> {
                n.incrementAndGet();
                throw new IllegalStateException("no tray");
            });
            equal(0, tool("wait-helper", "10000"), "the start became the resident helper");
            for (int pass = 1; pass <= 2; pass++) {
                passAnsweredAtOnce();
                final int expected = pass;
                that(eventually(() -> n.get() == expected, 5000), "callback runs: " + n);
            }
            that(eventually(() -> reported.size() == 2, 5000), "reported: " + reported);
            for (Throwable e : reported)
                equal("no tray", e.getMessage(), "the reported exception");
        } finally {
            Thread.setDefaultUncaughtExceptionHandler(previous);
        }
    }

    static void slowCallback() throws Exception {
        CountDownLatch started = new CountDownLatch(1);
        CountDownLatch release = new CountDownLatch(1);
        AtomicInteger runs = new AtomicInteger();
        AtomicInteger running = new AtomicInteger();
        AtomicInteger most = new AtomicInteger();
        open(() -> {
            most.accumulateAndGet(running.incrementAndGet(), Math::max);
            runs.incrementAndGet();
            started.countDown();
            try {
                release.await(30, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            running.decrementAndGet();
        });
        equal(0, tool("wait-helper", "10000"), "the start became the resident helper");
        try {
            passAnsweredAtOnce();
            that(started.await(5, TimeUnit.SECONDS), "the callback started");
            // Two more requests while the first callback still runs: both answered at
            // once, and one more run after it serves them both.
            passAnsweredAtOnce();
            passAnsweredAtOnce();
        } finally {
            release.countDown();
        }
        that(eventually(() -> runs.get() == 2 && running.get() == 0, 5000), "runs: " + runs);
        Thread.sleep(300);
        equal(2, runs.get(), "callback runs");
        equal(1, most.get(), "callbacks running at once");
    }

    static void onlyRequestsAnswered() throws Exception {
        AtomicInteger n = new AtomicInteger();
        TrayRedrawClient client = open(n::incrementAndGet);
        equal(0, tool("wait-helper", "10000"), "the start became the resident helper");
        InetSocketAddress to = new InetSocketAddress(loopback, client.port());
        String tooLong = "redrawtray" + String.join("", Collections.nCopies(600, "x"));
        String[] junk = {"", "redrawtrayx\0", "redrawtra\0", "REDRAWTRAY\0", " redrawtray\0",
                         "redrawok\0", tooLong};
        try (DatagramSocket peer = new DatagramSocket(new InetSocketAddress(loopback, 0))) {
            for (String text : junk)
                send(peer, to, text);
            // Datagrams between two sockets on loopback keep their order: the first
            // answer must be that of the request behind the junk.
            for (String request : new String[] {"redrawtray\0", "redrawtray", "redrawtray\0x"}) {
                send(peer, to, request);
                equal("redrawok\0", receive(peer, 2000), "answer to " + shown(request));
            }
            equal(null, receive(peer, 300), "a further answer");
        }
        that(eventually(() -> n.get() >= 1, 5000), "the callback ran");
    }

    static void forgottenClose() throws Exception {
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        List<String> command = new ArrayList<>(Arrays.asList(
                java, "-cp", System.getProperty("java.class.path"), ForgetfulApp.class.getName(), helper));
        command.addAll(launcher);
        Process app = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        try {
            BufferedReader out = new BufferedReader(
                    new InputStreamReader(app.getInputStream(), StandardCharsets.US_ASCII));
            String line = out.readLine();
            that(line != null && line.startsWith("port "), "the application registered: " + line);
            equal(0, tool("wait-helper", "10000"), "the start became the resident helper");
            passAnsweredAtOnce();
            app.getOutputStream().close();  // the application ends, its client still open
            that(app.waitFor(30, TimeUnit.SECONDS), "the application ended");
            equal(0, app.exitValue(), "the application's exit code");
            equal(0, tool("wait-gone", "10000"), "the exit withdrew the last port");
        } finally {
            app.destroyForcibly();
        }
    }

    // Helpers.

    private static TrayRedrawClient open(Runnable onRedraw) throws Exception {
        TrayRedrawClient client = TrayRedrawClient.open(launcher, helper, 0, onRedraw);
        opened.add(client);
        return client;
    }

    // Waits until a start that found the helper has handed its command over.
    private static TrayRedrawClient registered(TrayRedrawClient client) throws Exception {
        Process p = client.registration();
        that(p.waitFor(10, TimeUnit.SECONDS), "the start launch ended");
        equal(0, p.exitValue(), "the start launch's exit code");
        return client;
    }

    private static void passAnsweredAtOnce() throws Exception {
        long start = System.nanoTime();
        equal(0, tool("pass"), "traytool pass (3: no helper)");
        long ms = (System.nanoTime() - start) / 1_000_000;
        that(ms < ANSWERED_AT_ONCE_MS, "every client answered the first request; the pass took " + ms + " ms");
    }

    private static int tool(String... args) throws Exception {
        List<String> command = new ArrayList<>(launcher);
        command.add(traytool);
        command.addAll(Arrays.asList(args));
        Process p = new ProcessBuilder(command).inheritIO().start();
        if (!p.waitFor(60, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new AssertionError("traytool " + String.join(" ", args) + " did not end");
        }
        return p.exitValue();
    }

    private static void requireNoHelper() throws Exception {
        if (tool("wait-gone", "5000") != 0)
            throw new AssertionError("a helper from elsewhere is running; not starting");
    }

    // Closes what the case opened and ends any helper it left; tells whether none was left.
    private static boolean cleanUp() throws Exception {
        for (TrayRedrawClient c : opened) {
            try {
                c.close();
            } catch (Exception e) {
                System.out.println("clean-up: " + e);
            }
        }
        opened.clear();
        if (tool("wait-gone", "5000") == 0)
            return true;
        tool("post", "close");
        if (tool("wait-gone", "10000") != 0)
            throw new AssertionError("a helper is still running after the clean-up");
        return false;
    }

    private static int freePort() throws Exception {
        try (DatagramSocket s = new DatagramSocket(new InetSocketAddress(loopback, 0))) {
            return s.getLocalPort();
        }
    }

    private static void send(DatagramSocket from, InetSocketAddress to, String text) throws Exception {
        byte[] bytes = text.getBytes(StandardCharsets.US_ASCII);
        from.send(new DatagramPacket(bytes, bytes.length, to));
    }

    // The next datagram as text, or null if none arrives within `ms`.
    private static String receive(DatagramSocket s, int ms) throws Exception {
        byte[] buffer = new byte[1024];
        DatagramPacket p = new DatagramPacket(buffer, buffer.length);
        s.setSoTimeout(ms);
        try {
            s.receive(p);
        } catch (SocketTimeoutException e) {
            return null;
        }
        return new String(buffer, 0, p.getLength(), StandardCharsets.US_ASCII);
    }

    private static String shown(String text) {
        return "\"" + text.replace("\0", "\\0") + "\"";
    }
}
