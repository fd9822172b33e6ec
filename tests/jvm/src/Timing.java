import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.function.LongSupplier;

/**
 * Durations of calls whose waits are the library's own. The box is shared and noisy, so a call
 * may take much longer than planned but never shorter than its sleeps.
 */
final class Timing {
    private Timing() {}

    /** Result and duration of one call. */
    record Timed(long result, long millis) {}

    static Timed time(LongSupplier call) {
        long start = System.nanoTime();
        long result = call.getAsLong();
        return new Timed(result, (System.nanoTime() - start) / 1_000_000);
    }

    static Timed time(Runnable call) {
        return time(() -> {
            call.run();
            return 0;
        });
    }

    /** About {@code expectedMillis}: no less than 40 ms under it, at most +40% +150 ms over it. */
    static void assertAbout(long expectedMillis, Timed timed, String what) {
        long low = expectedMillis - 40;
        long high = expectedMillis * 14 / 10 + 150;
        assertTrue(timed.millis() >= low && timed.millis() <= high,
                   what + " took " + timed.millis() + " ms, expected about " + expectedMillis
                           + " ms (" + low + ".." + high + ")");
    }

    /** Quickly: well under any of the library's fixed waits. */
    static void assertQuick(Timed timed, String what) {
        assertTrue(timed.millis() <= 400, what + " took " + timed.millis()
                + " ms, expected no wait");
    }
}
