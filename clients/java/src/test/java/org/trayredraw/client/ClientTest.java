// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.EventQueue;
import java.awt.SystemTray;
import java.awt.TrayIcon;
import java.awt.image.BufferedImage;
import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.net.DatagramPacket;
import java.net.DatagramSocket;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.SocketTimeoutException;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BooleanSupplier;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.DisplayName;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * The client against the real helper. Explorer's restart is played by traytool: "pass"
 * sends "TaskbarCreated" to the helper and returns once the helper has served every
 * client, "broadcast" posts it to every top-level window as the shell does.
 *
 * <p>Every case starts on a desktop without a helper and leaves it so, also when it fails.
 */
class ClientTest {

    // A missed answer costs the helper its 0.4 s receive limit and a 1 s pause before
    // it asks again. A pass that ends sooner got every answer at the first request.
    // traytool times the pass itself: an emulated launch of it alone costs about 0.5 s.
    private static final String ANSWERED_AT_ONCE_MS = "1000";

    private final InetAddress loopback = loopback();
    private final List<TrayRedrawClient> opened = new ArrayList<>();
    private WineDesktop wine;

    @BeforeEach
    void desktopWithoutHelper() throws Exception {
        wine = WineDesktop.require();
        wine.requireNoHelper();
    }

    // Closes what the case opened and ends any helper it left.
    @AfterEach
    void cleanUp() throws Exception {
        if (wine == null)
            return;
        for (TrayRedrawClient c : opened) {
            try {
                c.close();
                c.awaitWithdrawn(30_000);
            } catch (Exception e) {
                System.out.println("clean-up: " + e);
            }
        }
        opened.clear();
        assertTrue(wine.endLeftHelper(), "the case left a helper running");
    }

    @Test
    @DisplayName("two clients redraw once each per pass, by message and by broadcast")
    void twoClientsRedrawOncePerPass() throws Exception {
        AtomicInteger a = new AtomicInteger();
        AtomicInteger b = new AtomicInteger();
        open(a::incrementAndGet);
        assertEquals(0, wine.tool("wait-helper", "10000"), "the first start became the resident helper");
        registered(open(b::incrementAndGet));

        passAnsweredAtOnce();
        assertTrue(eventually(() -> a.get() == 1 && b.get() == 1, 5000),
                   "both callbacks ran: " + a + ", " + b);

        assertEquals(0, wine.tool("broadcast"), "traytool broadcast");
        assertTrue(eventually(() -> a.get() == 2 && b.get() == 2, 15000),
                   "both callbacks ran again: " + a + ", " + b);
        Thread.sleep(300);
        assertEquals(2, a.get(), "runs of the first callback");
        assertEquals(2, b.get(), "runs of the second callback");
    }

    @Test
    @DisplayName("close withdraws the port, twice is once, the last close ends the helper")
    void closeWithdraws() throws Exception {
        AtomicInteger a = new AtomicInteger();
        AtomicInteger b = new AtomicInteger();
        TrayRedrawClient first = open(a::incrementAndGet);
        assertEquals(0, wine.tool("wait-helper", "10000"), "the first start became the resident helper");
        TrayRedrawClient second = registered(open(b::incrementAndGet));

        first.close();
        // The helper ends on a stop while one port is left, whatever port it names: a
        // second stop from the same client would take the other one's helper away.
        first.close();
        assertTrue(first.awaitWithdrawn(10_000), "the first client's stop ended");
        passAnsweredAtOnce();  // a port left registered would cost the whole pass's retries
        assertTrue(eventually(() -> b.get() == 1, 5000), "the remaining client redrew");
        assertEquals(0, a.get(), "runs of the closed client's callback");

        second.close();
        assertEquals(0, wine.tool("wait-gone", "10000"), "the helper ended with its last client");
    }

    @Test
    @DisplayName("a client closed as it opens, its start slow to become the helper, leaves no helper")
    void closeRightAfterOpenWaitsForTheStart() throws Exception {
        assumeTrue(new File("/bin/sh").canExecute(), "a POSIX shell delays the start");
        // The start reaches the program a second late, as on a loaded machine; a stop
        // that overtook it would find no helper, and the start would then become one
        // serving a port that is closed.
        TestSetup setup = wine.setup();
        setup.launcher = new ArrayList<>(Arrays.asList(
                "/bin/sh", "-c", "case \" $* \" in *\" start \"*) sleep 1;; esac; exec \"$@\"", "slow-start"));
        setup.launcher.addAll(wine.launcher);
        TrayRedrawClient client = TrayRedrawClient.open(setup.build(), () -> {}, null);
        opened.add(client);
        Thread.sleep(200);  // the start is on its way
        client.close();
        // The start became the helper, so it ends only when a stop ends the helper.
        Process start = client.registration();
        assertTrue(start.waitFor(10, TimeUnit.SECONDS), "the start's helper outlived its only client");
        assertEquals(0, start.exitValue(), "the helper's exit code");
    }

    // The helper that served both has ended, and the second client's next start made a new
    // one that knows its port alone: the first client's close must leave it running.
    @Test
    @DisplayName("a close ends no helper that serves another client")
    void aCloseEndsOnlyWhatIsItsOwn() throws Exception {
        AtomicInteger b = new AtomicInteger();
        TrayRedrawClient first = open(() -> {});
        assertEquals(0, wine.tool("wait-helper", "10000"), "the first start became the resident helper");
        TestSetup renewing = wine.setup();
        renewing.renewMs = 1000;
        opened.add(registered(TrayRedrawClient.open(renewing.build(), b::incrementAndGet, null)));
        assertEquals(0, wine.tool("post", "close"), "traytool post close");
        assertEquals(0, wine.tool("wait-gone", "10000"), "the helper ended");
        assertEquals(0, wine.tool("wait-helper", "10000"), "the second client's start made a new helper");
        TrayRedrawClient.awaitLane();
        first.close();
        assertTrue(first.awaitWithdrawn(30_000), "the first client's stop ended");
        passAnsweredAtOnce();
        assertTrue(eventually(() -> b.get() == 1, 5000), "the second client was served after the first one's close");
    }

    // The path an elevated application's one line takes: a keeper, the client that keepers
    // share, the program copied into the administrators' folder (access lists played), the
    // helper under Wine, and the icon taken out and added again on a real tray.
    @Test
    @DisplayName("an elevated JVM's keeper puts its icon back after a new taskbar, through the real helper")
    void elevatedKeeperThroughTheHelper(@TempDir Path common) throws Exception {
        WineDesktop.requireTray();
        TestSetup setup = wine.setup();
        setup.properties.clear();
        setup.elevated = true;
        setup.env.put("CommonProgramFiles", common.toString());
        TrayIcon icon = new TrayIcon(new BufferedImage(16, 16, BufferedImage.TYPE_INT_ARGB), "elevated");
        TestSetup.Heard heard = new TestSetup.Heard();
        TrayIconKeeper keeper = Keeping.keep(setup.build(), icon, null, heard);
        try {
            assertEquals(0, wine.tool("wait-helper", "10000"), "the copy became the resident helper");
            passAnsweredAtOnce();
            assertTrue(eventually(() -> heard.news.contains("put back elevated"), 5000), "heard: " + heard.news);
            assertTrue(Arrays.asList(SystemTray.getSystemTray().getTrayIcons()).contains(icon), "in the tray");
        } finally {
            keeper.close();
        }
        assertEquals(0, wine.tool("wait-gone", "10000"), "the helper ended with the last keeper");
        EventQueue.invokeAndWait(() -> {});
        assertFalse(Arrays.asList(SystemTray.getSystemTray().getTrayIcons()).contains(icon), "in the tray after close");
    }

    @Test
    @DisplayName("a callback that throws is reported and its client keeps answering")
    void throwingCallback() throws Exception {
        List<Throwable> reported = Collections.synchronizedList(new ArrayList<>());
        Thread.UncaughtExceptionHandler previous = Thread.getDefaultUncaughtExceptionHandler();
        Thread.setDefaultUncaughtExceptionHandler((t, e) -> reported.add(e));
        try {
            AtomicInteger n = new AtomicInteger();
            open(() -> {
                n.incrementAndGet();
                throw new IllegalStateException("no tray");
            });
            assertEquals(0, wine.tool("wait-helper", "10000"), "the start became the resident helper");
            for (int pass = 1; pass <= 2; pass++) {
                passAnsweredAtOnce();
                final int expected = pass;
                assertTrue(eventually(() -> n.get() == expected, 5000), "callback runs: " + n);
            }
            assertTrue(eventually(() -> reported.size() == 2, 5000), "reported: " + reported);
            for (Throwable e : reported)
                assertEquals("no tray", e.getMessage(), "the reported exception");
        } finally {
            Thread.setDefaultUncaughtExceptionHandler(previous);
        }
    }

    @Test
    @DisplayName("a running callback holds up no answer, overlaps no other, loses no request")
    void slowCallback() throws Exception {
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
        assertEquals(0, wine.tool("wait-helper", "10000"), "the start became the resident helper");
        try {
            passAnsweredAtOnce();
            assertTrue(started.await(5, TimeUnit.SECONDS), "the callback started");
            // Two more requests while the first callback still runs: both answered at
            // once, and one more run after it serves them both.
            passAnsweredAtOnce();
            passAnsweredAtOnce();
        } finally {
            release.countDown();
        }
        assertTrue(eventually(() -> runs.get() == 2 && running.get() == 0, 5000), "runs: " + runs);
        Thread.sleep(300);
        assertEquals(2, runs.get(), "callback runs");
        assertEquals(1, most.get(), "callbacks running at once");
    }

    @Test
    @DisplayName("only redrawtray is answered, and to its sender")
    void onlyRequestsAnswered() throws Exception {
        AtomicInteger n = new AtomicInteger();
        TrayRedrawClient client = open(n::incrementAndGet);
        assertEquals(0, wine.tool("wait-helper", "10000"), "the start became the resident helper");
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
                assertEquals("redrawok\0", receive(peer, 2000), "answer to " + shown(request));
            }
            assertNull(receive(peer, 300), "a further answer");
        }
        assertTrue(eventually(() -> n.get() >= 1, 5000), "the callback ran");
    }

    @Test
    @DisplayName("an application that forgets to close is withdrawn at exit")
    void forgottenClose() throws Exception {
        Process app = forgetfulApp();
        try {
            BufferedReader out = new BufferedReader(
                    new InputStreamReader(app.getInputStream(), StandardCharsets.US_ASCII));
            String line = out.readLine();
            assertTrue(line != null && line.startsWith("port "), "the application registered: " + line);
            assertEquals(0, wine.tool("wait-helper", "10000"), "the start became the resident helper");
            passAnsweredAtOnce();
            app.getOutputStream().close();  // the application ends, its client still open
            assertTrue(app.waitFor(30, TimeUnit.SECONDS), "the application ended");
            assertEquals(0, app.exitValue(), "the application's exit code");
            assertEquals(0, wine.tool("wait-gone", "10000"), "the exit withdrew the last port");
        } finally {
            app.destroyForcibly();
        }
    }

    @Test
    @DisplayName("a helper ended from outside is replaced by the next repeated start")
    void helperEndedFromOutsideIsReplaced() throws Exception {
        AtomicInteger n = new AtomicInteger();
        TestSetup renewing = wine.setup();
        renewing.renewMs = 1000;
        opened.add(TrayRedrawClient.open(renewing.build(), n::incrementAndGet, null));
        assertEquals(0, wine.tool("wait-helper", "10000"), "the start became the resident helper");
        assertEquals(0, wine.tool("post", "close"), "traytool post close");
        assertEquals(0, wine.tool("wait-gone", "10000"), "the helper ended");

        assertEquals(0, wine.tool("wait-helper", "10000"), "a repeated start made a new helper");
        // Repeated starts while the helper runs register the port no second time: one
        // pass, one request, one run.
        Thread.sleep(2500);
        passAnsweredAtOnce();
        assertTrue(eventually(() -> n.get() == 1, 5000), "the callback ran");
        Thread.sleep(300);
        assertEquals(1, n.get(), "runs of the callback");
    }

    @Test
    @DisplayName("the program the jar carries, copied to the user's folder, serves the client")
    void packedProgramServes(@TempDir Path localAppData) throws Exception {
        AtomicInteger n = new AtomicInteger();
        TestSetup setup = wine.setup();
        setup.properties.clear();
        setup.env.put("LOCALAPPDATA", localAppData.toString());
        TrayRedrawClient client = TrayRedrawClient.open(setup.build(), n::incrementAndGet, null);
        opened.add(client);
        assertEquals(0, wine.tool("wait-helper", "10000"), "the copy became the resident helper");
        // The resident helper holds its current folder open for as long as it runs:
        // its own, not the application's.
        Path cwd = Paths.get("/proc", String.valueOf(pid(client.registration())), "cwd");
        assumeTrue(Files.exists(cwd), "the system shows processes' folders under /proc");
        assertEquals(localAppData.resolve("trayredraw").toRealPath(), cwd.toRealPath(), "the helper's folder");
        passAnsweredAtOnce();
        assertTrue(eventually(() -> n.get() == 1, 5000), "the callback ran");
        client.close();
        assertEquals(0, wine.tool("wait-gone", "10000"), "the helper ended with its client");
    }

    @Test
    @DisplayName("close returns at once on the event thread while the helper is busy, and the stop follows")
    void closeDoesNotWaitForABusyHelper() throws Exception {
        try (DatagramSocket slow = new DatagramSocket(new InetSocketAddress(loopback, 0))) {
            // Registered first, so served first: it answers only the third request, which
            // holds the helper, and every launch behind it, for about 3 s.
            Process helper = launch("start", String.valueOf(slow.getLocalPort()));
            assertEquals(0, wine.tool("wait-helper", "10000"), "the start became the resident helper");
            TrayRedrawClient client = registered(open(() -> {}));
            Thread pass = new Thread(() -> {
                try {
                    wine.tool("pass");
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            pass.start();
            byte[] buffer = new byte[64];
            DatagramPacket request = new DatagramPacket(buffer, buffer.length);
            slow.setSoTimeout(10_000);
            slow.receive(request);  // the helper is busy now

            long[] took = new long[1];
            EventQueue.invokeAndWait(() -> {
                long started = System.nanoTime();
                client.close();
                took[0] = (System.nanoTime() - started) / 1_000_000;
            });
            assertTrue(took[0] < 100, "close took " + took[0] + " ms");

            slow.receive(request);
            slow.receive(request);
            slow.send(new DatagramPacket("redrawok".getBytes(StandardCharsets.US_ASCII), 8, request.getSocketAddress()));
            pass.join(30_000);
            assertTrue(client.awaitWithdrawn(30_000), "the stop ended after the pass");
            Process stop = launch("stop", String.valueOf(slow.getLocalPort()));
            assertTrue(stop.waitFor(30, TimeUnit.SECONDS) && stop.exitValue() == 0, "the other port's stop");
            assertTrue(helper.waitFor(10, TimeUnit.SECONDS), "the helper ended with its last port");
        }
    }

    @Test
    @DisplayName("an application killed and started again three times holds one registered port")
    void killedApplicationTakesBackItsPort() throws Exception {
        List<String> ports = new ArrayList<>();
        Process app = null;
        try {
            for (int run = 1; run <= 4; run++) {
                app = forgetfulApp();
                String line = new BufferedReader(new InputStreamReader(app.getInputStream(), StandardCharsets.US_ASCII))
                        .readLine();
                assertTrue(line != null && line.startsWith("port "), "run " + run + " registered: " + line);
                ports.add(line);
                assertEquals(0, wine.tool("wait-helper", "10000"), "a resident helper");
                if (run < 4) {
                    app.destroyForcibly();  // SIGKILL: no stop, the port stays registered
                    assertTrue(app.waitFor(10, TimeUnit.SECONDS), "run " + run + " ended");
                }
            }
            assertEquals(Collections.nCopies(4, ports.get(0)), ports, "each run's port");
            // Each port left behind would cost the pass its ten unanswered requests.
            passAnsweredAtOnce();
            app.getOutputStream().close();
            assertTrue(app.waitFor(30, TimeUnit.SECONDS), "the application ended");
            assertEquals(0, wine.tool("wait-gone", "10000"), "its stop ended the helper: no other port was left");
        } finally {
            if (app != null)
                app.destroyForcibly();
        }
    }

    // Helpers.

    private Process forgetfulApp() throws Exception {
        return forgetfulApp(null, "1", wine.helper, wine.launcher);
    }

    // ForgetfulApp in a JVM of its own, started in `folder` (null: this one's): the same
    // application each time.
    static Process forgetfulApp(File folder, String clients, String helper, List<String> launcher) throws Exception {
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        List<String> command = new ArrayList<>(Arrays.asList(
                java, "-cp", codeSource(ForgetfulApp.class) + File.pathSeparator + codeSource(TrayRedrawClient.class),
                ForgetfulApp.class.getName(), clients, helper));
        command.addAll(launcher);
        return new ProcessBuilder(command).directory(folder).redirectError(ProcessBuilder.Redirect.INHERIT).start();
    }

    // The helper launched directly, as a client in another language would.
    private Process launch(String... command) throws Exception {
        List<String> line = new ArrayList<>(wine.launcher);
        line.add(wine.helper);
        line.addAll(Arrays.asList(command));
        return new ProcessBuilder(line).redirectOutput(ProcessBuilder.Redirect.to(new File("/dev/null")))
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
    }

    // Process.pid() came with Java 9; these tests compile for Java 8.
    private static long pid(Process p) throws Exception {
        return (Long) Process.class.getMethod("pid").invoke(p);
    }

    private TrayRedrawClient open(Runnable onRedraw) {
        TrayRedrawClient client = TrayRedrawClient.open(wine.setup().build(), onRedraw, null);
        opened.add(client);
        return client;
    }

    // Waits until a start that found the helper has handed its command over.
    private static TrayRedrawClient registered(TrayRedrawClient client) throws Exception {
        Process p = client.registration();
        assertTrue(p.waitFor(10, TimeUnit.SECONDS), "the start launch ended");
        assertEquals(0, p.exitValue(), "the start launch's exit code");
        return client;
    }

    private void passAnsweredAtOnce() throws Exception {
        assertEquals(0, wine.tool("pass", ANSWERED_AT_ONCE_MS),
                     "traytool pass (3: no helper; 4: a client missed the first request)");
    }

    /** Polls until the condition holds; tells whether it did within {@code ms}. */
    static boolean eventually(BooleanSupplier condition, long ms) throws InterruptedException {
        long end = System.nanoTime() + ms * 1_000_000L;
        while (!condition.getAsBoolean()) {
            if (System.nanoTime() - end > 0)
                return false;
            Thread.sleep(10);
        }
        return true;
    }

    // Where the JVM loaded this class from: a folder of classes or a jar.
    private static String codeSource(Class<?> c) throws URISyntaxException {
        return Paths.get(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }

    static InetAddress loopback() {
        try {
            return InetAddress.getByAddress(new byte[] {127, 0, 0, 1});
        } catch (java.net.UnknownHostException e) {
            throw new AssertionError(e);
        }
    }

    static int freePort() throws Exception {
        try (DatagramSocket s = new DatagramSocket(new InetSocketAddress(loopback(), 0))) {
            return s.getLocalPort();
        }
    }

    static void send(DatagramSocket from, InetSocketAddress to, String text) throws Exception {
        byte[] bytes = text.getBytes(StandardCharsets.US_ASCII);
        from.send(new DatagramPacket(bytes, bytes.length, to));
    }

    // The next datagram as text, or null if none arrives within `ms`.
    static String receive(DatagramSocket s, int ms) throws Exception {
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
