import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import org.junit.jupiter.api.Test;

/**
 * Fifty rounds of open, thermal claim and close (about 1.5 s each): every close joins its
 * monitor and closes its descriptor, so the JVM ends with the threads and descriptors it had.
 */
class ParallelCycleTest extends ParallelPrinterTest {
    private static final int CYCLES = 50;
    /** Longer than a thread takes to leave the kernel's list once it has ended. */
    private static final Duration SETTLE = Duration.ofSeconds(2);

    @Test
    void claimAndCloseCyclesLeaveThreadAndDescriptorCountsUnchanged() {
        // One round first, so that whatever the JVM starts or opens on first use is counted.
        cycle(-1, new ArrayList<>());
        Set<Integer> monitorsBefore = NativeThreads.namedLikeCaller();
        int threadsBefore = NativeThreads.count();
        int descriptorsBefore = descriptors();

        List<String> faults = new ArrayList<>();
        for (int i = 0; i < CYCLES; i++) {
            cycle(i, faults);
        }
        assertEquals(List.of(), faults);
        assertTrue(Poll.until(SETTLE, () -> NativeThreads.namedLikeCaller().equals(monitorsBefore)),
                "threads named like the claimer: " + monitorsBefore + " before, "
                        + NativeThreads.namedLikeCaller() + " after");
        assertTrue(Poll.until(SETTLE, () -> NativeThreads.count() <= threadsBefore),
                "native threads: " + threadsBefore + " before, " + NativeThreads.count()
                        + " after");
        assertEquals(descriptorsBefore, descriptors(), "descriptors of the JVM");
        assertEquals(0, descriptorsOnPrinter(), "descriptors on the port");
    }

    private void cycle(int i, List<String> faults) {
        long opened = open();
        if (opened != 0) {
            faults.add("cycle " + i + ": _openPort = " + opened);
            return;
        }
        long claimed = port._claim(1000, true);
        if (claimed != 0) {
            faults.add("cycle " + i + ": _claim = " + claimed);
        }
        closePort();
    }

    private static int descriptors() {
        String[] fds = new File("/proc/self/fd").list();
        return fds == null ? -1 : fds.length;
    }
}
