import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.concurrent.Executors;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * A busy printer (it cuts, feeds, prints a logo) shows it on its busy line: the write waits for
 * it, polling the status lines, and gives up after 5 s without sending anything.
 */
class ParallelBusyTest extends ParallelPrinterTest {
    private static final long BUSY_MS = 3000;
    /** The longest a write waits for the status lines to show the printer ready. */
    private static final long READY_WAIT_MS = 5000;

    @Test
    void jobWaitsForABusyPrinterAndArrivesWholeOnceItIsReady() throws Exception {
        openReady();
        printer.busy(true);
        ScheduledExecutorService later = Executors.newSingleThreadScheduledExecutor();
        try {
            later.schedule(() -> printer.busy(false), BUSY_MS, TimeUnit.MILLISECONDS);
            byte[] job = Bytes.everyValue(4096);
            Timing.Timed timed = Timing.time(() -> port._writeData(job, job.length, 1000));
            assertEquals(job.length, timed.result(), "_writeData across three busy seconds");
            Timing.assertAbout(BUSY_MS, timed, "_writeData across three busy seconds");
            assertPrinterReceived(job, "the job after the busy period");
        } finally {
            later.shutdown();
            later.awaitTermination(10, TimeUnit.SECONDS);
        }
    }

    @Test
    void printerThatStaysBusyIsGivenUpWithNothingSent() {
        openReady();
        printer.busy(true);
        byte[] job = text("never sent\n");
        Timing.Timed timed = Timing.time(() -> write(job));
        assertEquals(0, timed.result(), "_writeData to a printer that stays busy");
        Timing.assertAbout(READY_WAIT_MS, timed, "_writeData to a printer that stays busy");

        printer.busy(false);
        byte[] marker = Bytes.of('#', 0x0A);
        assertEquals(marker.length, write(marker), "the next write once the printer is ready");
        assertPrinterReceived(marker, "only the write after the busy printer");
    }
}
