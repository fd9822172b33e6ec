import java.time.Duration;
import java.util.function.BooleanSupplier;
import java.util.function.IntSupplier;

/** Waiting for a condition the library or the printer will reach, with a deadline. */
final class Poll {
    private Poll() {}

    private static final long INTERVAL_MS = 20;

    /** True as soon as {@code condition} holds, false once {@code deadline} has passed. */
    static boolean until(Duration deadline, BooleanSupplier condition) {
        long end = System.nanoTime() + deadline.toNanos();
        while (true) {
            if (condition.getAsBoolean()) {
                return true;
            }
            if (System.nanoTime() - end > 0) {
                return false;
            }
            try {
                Thread.sleep(INTERVAL_MS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
            }
        }
    }

    /** Polls {@code value} until it is {@code expected}; returns the last value seen. */
    static int untilEquals(Duration deadline, int expected, IntSupplier value) {
        int[] last = {value.getAsInt()};
        until(deadline, () -> (last[0] = value.getAsInt()) == expected);
        return last[0];
    }
}
