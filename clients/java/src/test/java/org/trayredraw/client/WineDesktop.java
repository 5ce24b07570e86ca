// SPDX-License-Identifier: Apache-2.0
package org.trayredraw.client;

import java.awt.GraphicsEnvironment;
import java.awt.SystemTray;
import java.io.File;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

/**
 * The desktop the tests run the real helper on: Wine, with traytool playing the shell.
 * The test build names the helper, traytool and the launcher through system properties
 * and hands over the Wine environment (DISPLAY, WINEPREFIX) of its fixture. A plain
 * {@code mvn package} names none of them, and the tests that need them are skipped;
 * with trayredraw.test.wineRequired they fail instead.
 */
final class WineDesktop {
    final String helper;
    final String traytool;
    final List<String> launcher;

    private WineDesktop(String helper, String traytool, List<String> launcher) {
        this.helper = helper;
        this.traytool = traytool;
        this.launcher = launcher;
    }

    /** The desktop, or the current test skipped (failed, where it is required). */
    static WineDesktop require() {
        String helper = System.getProperty("trayredraw.test.helper", "").trim();
        String traytool = System.getProperty("trayredraw.test.traytool", "").trim();
        String launcher = System.getProperty("trayredraw.test.launcher", "").trim();
        boolean required = Boolean.getBoolean("trayredraw.test.wineRequired");
        List<String> missing = new ArrayList<>();
        if (helper.isEmpty() || !new File(helper).isFile())
            missing.add("trayredraw.test.helper (the program)");
        if (traytool.isEmpty() || !new File(traytool).isFile())
            missing.add("trayredraw.test.traytool");
        for (String variable : new String[] {"DISPLAY", "WINEPREFIX"})
            if (!launcher.isEmpty() && System.getenv(variable) == null)
                missing.add("the environment's " + variable);
        String why = "no helper desktop: missing " + String.join(", ", missing);
        if (!missing.isEmpty() && required)
            fail(why);
        assumeTrue(missing.isEmpty(), why);
        return new WineDesktop(helper, traytool,
                launcher.isEmpty() ? Collections.<String>emptyList() : Arrays.asList(launcher.split(" +")));
    }

    /**
     * The real tray on the test display (trayer, which the test build starts), or the
     * current test skipped (failed, where the test desktop is required). Trayer may still
     * be taking the tray when the tests begin.
     */
    static void requireTray() throws InterruptedException {
        boolean display = !GraphicsEnvironment.isHeadless();
        boolean tray = display && ClientTest.eventually(SystemTray::isSupported, 10_000);
        String why = display ? "no tray on the display " + System.getenv("DISPLAY") : "no display";
        if (!tray && Boolean.getBoolean("trayredraw.test.wineRequired"))
            fail(why);
        assumeTrue(tray, why);
    }

    /** Clients that launch the helper under Wine, from where it lies. */
    TestSetup setup() {
        TestSetup setup = new TestSetup();
        setup.launcher = launcher;
        setup.properties.put(Program.PROPERTY, new File(helper).getAbsolutePath());
        return setup;
    }

    /** Runs traytool with these arguments and returns its exit code. */
    int tool(String... args) throws Exception {
        List<String> command = new ArrayList<>(launcher);
        command.add(traytool);
        command.addAll(Arrays.asList(args));
        Process p = new ProcessBuilder(command).inheritIO().start();
        if (!p.waitFor(60, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            fail("traytool " + String.join(" ", args) + " did not end");
        }
        return p.exitValue();
    }

    /** Fails unless the desktop is without a helper: a case must start from none. */
    void requireNoHelper() throws Exception {
        assertTrue(tool("wait-gone", "5000") == 0, "a helper from elsewhere is running; not starting");
    }

    /** Ends a helper a case left behind; tells whether there was none. */
    boolean endLeftHelper() throws Exception {
        if (tool("wait-gone", "5000") == 0)
            return true;
        tool("post", "close");
        assertTrue(tool("wait-gone", "10000") == 0, "a helper is still running after the clean-up");
        return false;
    }
}
