import java.io.File;
import java.util.function.BooleanSupplier;

/** Deadline waits on a native's answer, and the process's thread count. */
final class Deadline {
    private Deadline() {}

    /** Threads of this process as the kernel counts them (JVM threads included). */
    static int count() {
        String[] tasks = new File("/proc/self/task").list();
        return tasks == null ? -1 : tasks.length;
    }

    /** Polls every 20 ms until the condition holds or the deadline passes. */
    static boolean waitFor(BooleanSupplier condition, long millis) {
        long deadline = System.nanoTime() + millis * 1_000_000L;
        while (!condition.getAsBoolean()) {
            if (System.nanoTime() > deadline) {
                return false;
            }
            try {
                Thread.sleep(20);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
            }
        }
        return true;
    }
}
