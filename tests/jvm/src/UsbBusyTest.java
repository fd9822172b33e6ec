import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * A busy printer (it cuts, feeds, prints a logo) takes nothing for a while: its node fills and
 * the library's non-blocking writes fail with EAGAIN. The write waits for it, and gives up only
 * after 5 s without progress.
 */
class UsbBusyTest extends UsbPrinterTest {
    private static final int JOB = 64 * 1024;
    /** The time a write waits without any progress before it gives up. */
    private static final long NO_PROGRESS_MS = 5000;
    /** 64 pieces of 1024 bytes, each followed by 10 ms. */
    private static final long PACING_MS = JOB / 1024 * 10;

    @Test
    void jobArrivesWholeInOrderOnceAcrossABusyPeriod() {
        openReady();
        printer.busyAfter(20000, 2000);
        byte[] job = Bytes.everyValue(JOB);
        Timing.Timed timed = Timing.time(() -> port._writeData(job, job.length, 1000));
        assertEquals(JOB, timed.result(), "_writeData across two busy seconds");
        // The pty holds some 18 KB: the rest of the job can only go once the printer reads again.
        assertTrue(timed.millis() >= 2000 && timed.millis() <= (2000 + PACING_MS) * 14 / 10 + 150,
                "_writeData across two busy seconds took " + timed.millis() + " ms");
        assertPrinterReceived(job, "the job across the busy period");
    }

    /**
     * Two busy periods of 3 s: more than the allowance in all, but the printer takes bytes
     * between them, so the write goes on. The second is asked for once the printer reads again;
     * the job is long enough that the pty cannot take the rest meanwhile.
     */
    @Test
    void allowanceCountsFromTheLastProgress() throws Exception {
        openReady();
        printer.busyAfter(8192, 3000);
        byte[] job = Bytes.everyValue(JOB);
        CompletableFuture<Timing.Timed> writing = CompletableFuture.supplyAsync(
                () -> Timing.time(() -> port._writeData(job, job.length, 1000)));
        assertTrue(printer.waitBytes(8192 + 1, Duration.ofSeconds(10)),
                "the printer reads again after its first busy period");
        printer.busyAfter(1024, 3000);
        Timing.Timed timed = writing.get(30, TimeUnit.SECONDS);
        assertEquals(JOB, timed.result(), "_writeData across two busy periods of 3 s");
        assertTrue(timed.millis() >= 6000 && timed.millis() <= (6000 + PACING_MS) * 14 / 10 + 150,
                "_writeData across two busy periods of 3 s took " + timed.millis() + " ms");
        assertPrinterReceived(job, "the job across two busy periods");
    }

    @Test
    void printerThatStaysBusyIsGivenUpWithTheCountWrittenSoFar() {
        openReady();
        printer.busy(true);
        byte[] job = Bytes.everyValue(JOB);
        Timing.Timed timed = Timing.time(() -> port._writeData(job, job.length, 1000));
        int written = (int) timed.result();
        assertTrue(written > 0 && written < JOB, "_writeData to a printer that stays busy: "
                + written);
        // Filling the pty takes a few pieces, then no progress for the allowance.
        assertTrue(timed.millis() >= NO_PROGRESS_MS - 40
                        && timed.millis() <= (NO_PROGRESS_MS + PACING_MS) * 14 / 10 + 150,
                "_writeData to a printer that stays busy took " + timed.millis() + " ms");

        printer.busy(false);
        assertPrinterReceived(Arrays.copyOf(job, written),
                "what the pty held: exactly the count the write returned");
        byte[] marker = Bytes.of('#', 0x0A);
        assertEquals(marker.length, write(marker), "the next write once the printer reads again");
        assertPrinterReceived(Bytes.concat(Arrays.copyOf(job, written), marker),
                "nothing of the given-up job after it");
    }
}
