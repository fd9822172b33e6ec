import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.Set;
import java.util.TreeSet;
import org.junit.jupiter.api.Test;

/**
 * The printer's cable pulled during a thermal claim: its node vanishes, the status goes offline
 * within a monitor pass, writes are refused, and the monitor opens the path again (once a
 * second) when the printer comes back, so the next job reaches the new node.
 */
class UsbUnplugTest extends UsbPrinterTest {
    /** One monitor pass, with room for a busy machine. */
    private static final long PASS_MS = 500 * 14 / 10 + 150;
    /** A reopen attempt each second, then a pass that sees the printer ready. */
    private static final Duration BACK = Duration.ofSeconds(4);
    /** Longer than a thread takes to leave the kernel's list once it has ended. */
    private static final Duration SETTLE = Duration.ofSeconds(2);

    private static byte[] text(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    @Test
    void unpluggedPrinterIsOfflineUntilItIsBackOnANewNode() {
        claimThermal();
        long unpluggedAt = System.nanoTime();
        printer.unplug();
        boolean offline = Poll.until(Duration.ofMillis(PASS_MS),
                () -> port._getPrinterStatus(1000) == 8);
        long offlineAfter = (System.nanoTime() - unpluggedAt) / 1_000_000;
        assertTrue(offline, "_getPrinterStatus " + port._getPrinterStatus(1000) + " "
                + offlineAfter + " ms after the unplug, expected 8 within " + PASS_MS + " ms");
        byte[] refused = text("REFUSED\n");
        Timing.Timed timed = Timing.time(() -> write(refused));
        assertEquals(-2, timed.result(), "_writeData while unplugged");
        Timing.assertQuick(timed, "the refused _writeData while unplugged");

        printer.replug();
        assertEquals(0, Poll.untilEquals(BACK, 0, () -> port._getPrinterStatus(1000)),
                "_getPrinterStatus within " + BACK.toMillis() + " ms of the replug");
        byte[] job = text("printed on the new node\n");
        assertEquals(job.length, write(job), "_writeData after the replug");
        assertTrue(Poll.until(ARRIVAL, () -> printer.countOn(1, job) == 1),
                "the job on the new pty: " + VirtualPrinterProcess.hex(printer.hexOn(1)));
        assertEquals(0, printer.countOn(0, job), "the job on the old pty");
        assertEquals(0, printer.count(refused), "the refused line reached the printer");
        assertEquals(1, descriptorsOnPrinter(), "descriptors on the new node");
    }

    @Test
    void closeWhileUnpluggedLeavesNoDescriptorAndNoThread() {
        Set<String> descriptorsBefore = ptyDescriptors();
        Set<Integer> threadsBefore = NativeThreads.namedLikeCaller();
        claimThermal();
        printer.unplug();
        assertStatus(8, "the unplug");
        // Let the monitor try to reopen the missing path at least once.
        assertFalse(Poll.until(Duration.ofMillis(1200),
                () -> port._getPrinterStatus(1000) != 8), "status while unplugged");
        closePort();

        assertEquals(descriptorsBefore, ptyDescriptors(), "pty descriptors after _closePort");
        Set<Integer> left = new TreeSet<>();
        boolean none = Poll.until(SETTLE, () -> {
            left.clear();
            left.addAll(NativeThreads.namedLikeCaller());
            left.removeAll(threadsBefore);
            return left.isEmpty();
        });
        assertTrue(none, "native threads left after _closePort: " + left);

        // The port opens again once the printer is back.
        printer.replug();
        assertEquals(0, open(), "_openPort after the replug");
        assertEquals(1, descriptorsOnPrinter());
    }
}
