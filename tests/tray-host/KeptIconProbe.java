// SPDX-License-Identifier: Apache-2.0
import java.awt.Color;
import java.awt.EventQueue;
import java.awt.Graphics;
import java.awt.Rectangle;
import java.awt.Robot;
import java.awt.SystemTray;
import java.awt.Toolkit;
import java.awt.TrayIcon;
import java.awt.image.BufferedImage;
import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;

import javax.imageio.ImageIO;

import org.trayredraw.client.TrayIconKeeper;

/**
 * An application with a kept tray icon that looks at the screen: a 16x16 icon of a
 * colour no tray host draws, added with {@link TrayIconKeeper#add}, and its pixels
 * counted with {@link Robot}. Answers one line to each line on standard input:
 *
 * <pre>
 * await N      the count once it has been N for a second (or after 15 s), the icon's
 *              adds since the last await, and the ms to the start of that second from
 *              the tray's return since the last await, else from this command:
 *                                                               "PIXELS ADDS MS"
 * tray         once a tray host is there (at most 20 s):         "tray" or "no tray"
 * remove       the application takes its icon out with SystemTray.remove: "removed"
 * close        the application closes its keepers:               "closed"
 * add          the application adds the icon again:              "added"
 * make         the application keeps an icon of the same look that the keeper makes
 *              once a tray is there:                             "making"
 * churn        a thread of the application's adds and removes an icon of its own for two
 *              seconds; whether the event thread then runs a task within 15 s:
 *                                                                "responsive" or "hung"
 * shot FILE    the screen as a PNG:                              "shot"
 * </pre>
 *
 * With the argument "twice" the icon is also kept by a second keeper. Ends at the end
 * of its input.
 */
public final class KeptIconProbe {
    private static final int COLOUR = 0xD01CA7;
    private static volatile long trayCameAt = System.nanoTime();

    public static void main(String[] args) throws Exception {
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        if (!awaitTray()) {
            System.out.println("no tray");
            return;
        }
        SystemTray tray = SystemTray.getSystemTray();
        BufferedImage image = new BufferedImage(16, 16, BufferedImage.TYPE_INT_RGB);
        Graphics g = image.getGraphics();
        g.setColor(new Color(COLOUR));
        g.fillRect(0, 0, 16, 16);
        g.dispose();
        TrayIcon icon = new TrayIcon(image, "kept");
        AtomicInteger adds = new AtomicInteger();
        tray.addPropertyChangeListener("trayIcons", e -> {
            if (!Arrays.asList((Object[]) e.getOldValue()).contains(icon)
                    && Arrays.asList((Object[]) e.getNewValue()).contains(icon))
                adds.incrementAndGet();
        });
        TrayIcon own = new TrayIcon(new BufferedImage(16, 16, BufferedImage.TYPE_INT_RGB), "the application's own");
        tray.addPropertyChangeListener("systemTray", e -> {
            if (e.getNewValue() != null)
                trayCameAt = System.nanoTime();
        });
        List<TrayIconKeeper> keepers = new ArrayList<>();
        keepers.add(TrayIconKeeper.add(icon));
        if (Arrays.asList(args).contains("twice"))
            keepers.add(TrayIconKeeper.add(icon));

        Robot robot = new Robot();
        Rectangle screen = new Rectangle(Toolkit.getDefaultToolkit().getScreenSize());
        long answered = System.nanoTime();
        for (String line; (line = in.readLine()) != null; ) {
            String[] words = line.trim().split(" ", 2);
            String reply;
            switch (words[0]) {
                case "await": {
                    long asked = System.nanoTime();
                    int want = Integer.parseInt(words[1]);
                    int seen = -1;
                    long since = asked;
                    long end = asked + 15_000_000_000L;
                    while (System.nanoTime() < end) {
                        int now = count(robot.createScreenCapture(screen));
                        if (now != seen)
                            since = System.nanoTime();
                        seen = now;
                        if (seen == want && System.nanoTime() - since >= 1_000_000_000L)
                            break;
                        Thread.sleep(20);
                    }
                    long from = trayCameAt - answered > 0 ? trayCameAt : asked;
                    reply = seen + " " + adds.getAndSet(0) + " " + Math.max(0, (since - from) / 1_000_000);
                    break;
                }
                case "tray":
                    reply = awaitTray() ? "tray" : "no tray";
                    break;
                case "remove":
                    EventQueue.invokeAndWait(() -> tray.remove(icon));
                    reply = "removed";
                    break;
                case "close":
                    keepers.forEach(TrayIconKeeper::close);
                    keepers.clear();
                    reply = "closed";
                    break;
                case "add":
                    keepers.add(TrayIconKeeper.add(icon));
                    reply = "added";
                    break;
                case "make":
                    keepers.add(TrayIconKeeper.add(() -> new TrayIcon(image, "made"), null));
                    reply = "making";
                    break;
                case "churn": {
                    Thread churn = new Thread(() -> {
                        while (!Thread.currentThread().isInterrupted()) {
                            try {
                                SystemTray.getSystemTray().add(own);
                                SystemTray.getSystemTray().remove(own);
                            } catch (Exception noTrayYet) {
                                LockSupport.parkNanos(10_000_000L);
                            }
                        }
                    });
                    churn.setDaemon(true);
                    churn.start();
                    Thread.sleep(2000);
                    CountDownLatch ran = new CountDownLatch(1);
                    EventQueue.invokeLater(ran::countDown);
                    reply = ran.await(15, TimeUnit.SECONDS) ? "responsive" : "hung";
                    churn.interrupt();
                    break;
                }
                case "shot":
                    ImageIO.write(robot.createScreenCapture(screen), "png", new File(words[1]));
                    reply = "shot";
                    break;
                default:
                    reply = "unknown: " + line;
            }
            System.out.println(reply);
            System.out.flush();
            answered = System.nanoTime();
        }
        Runtime.getRuntime().halt(0);  // AWT's threads would keep the JVM alive, a hung one too
    }

    private static boolean awaitTray() throws InterruptedException {
        for (int i = 0; i < 400 && !SystemTray.isSupported(); i++)
            Thread.sleep(50);
        return SystemTray.isSupported();
    }

    private static int count(BufferedImage shot) {
        int n = 0;
        for (int y = 0; y < shot.getHeight(); y++)
            for (int x = 0; x < shot.getWidth(); x++)
                if ((shot.getRGB(x, y) & 0xFFFFFF) == COLOUR)
                    n++;
        return n;
    }
}
