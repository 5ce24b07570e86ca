package trayredraw.client;

import java.util.function.BooleanSupplier;

/** The few assertions the client's tests need. */
final class Check {
    private Check() {}

    static void that(boolean condition, String what) {
        if (!condition)
            throw new AssertionError(what);
    }

    static void equal(Object expected, Object actual, String what) {
        if (expected == null ? actual != null : !expected.equals(actual))
            throw new AssertionError(what + ": expected " + expected + ", got " + actual);
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
}
