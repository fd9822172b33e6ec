import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * A thermal claim seen from Java: the status natives follow the printer's reports (and the DSR
 * line the preloaded modem shim serves to the monitor thread), writes are refused while the
 * printer cannot print, and the completion wait ends on the reply, on a cover opened meanwhile,
 * or when another Java thread closes the port.
 */
class SerialLiveStatusTest extends SerialPrinterTest {
    /** GS ( H fn 48: the process-ID request that the completion wait sends. */
    /** GS ( H fn 48, before the identifier each wait gives its request. */
    static final byte[] PROCESS_ID_REQUEST = Bytes.of(0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30);
    @Override
    VirtualPrinterProcess newPrinter() {
        return VirtualPrinterProcess.serial("--modem");
    }

    /**
     * Waits for the pass after a cover-open or paper-end report: it sends GS a 255 again and
     * lifts the offline flag the report raised. A printer that has stopped printing does not act
     * on the command, so from then on only the cover or paper flag refuses writes.
     *
     * @param enablesBefore how many GS a 255 the printer had received before it stopped
     */
    private void awaitReenable(int enablesBefore) {
        assertTrue(printer.waitSequence(ENABLE_AUTO_STATUS, enablesBefore + 1, STATUS_CHANGE),
                "GS a 255 again on the pass after the report");
    }

    private static byte[] text(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    /** Plain text lines (no command bytes, so nothing can swallow the request behind them). */
    private static byte[] job(int length) {
        byte[] job = new byte[length];
        for (int i = 0; i < length; i++) {
            job[i] = (byte) (i % 50 == 49 ? 0x0A : 'a' + i % 26);
        }
        return job;
    }

    @Test
    void statusAndWritesFollowThePrinter() {
        claimThermal();
        byte[] refused = text("REFUSED\n");

        printer.drawerOpen(true);
        assertEquals(1, Poll.untilEquals(STATUS_CHANGE, 1, () -> port._getCashDrawerStatus(1000)),
                "_getCashDrawerStatus with the drawer open");
        printer.drawerOpen(false);
        assertEquals(0, Poll.untilEquals(STATUS_CHANGE, 0, () -> port._getCashDrawerStatus(1000)),
                "_getCashDrawerStatus with the drawer closed");

        printer.paper("near");
        assertStatus(16, "paper near end");
        byte[] nearEnd = text("near end still prints\n");
        assertEquals(nearEnd.length, write(nearEnd), "_writeData with paper near end");

        int enables = printer.count(ENABLE_AUTO_STATUS);
        printer.paper("end");
        assertStatus(2, "paper end");
        assertEquals(-2, write(refused), "_writeData with paper end");
        awaitReenable(enables);
        assertEquals(-2, write(refused), "_writeData with paper end, after the next pass");
        printer.paper("ok");
        assertStatus(0, "paper loaded");
        // The report that says ready also lifts the refusal: no retry is needed.
        byte[] paperBack = text("paper back\n");
        assertEquals(paperBack.length, write(paperBack), "_writeData once the paper is back");

        enables = printer.count(ENABLE_AUTO_STATUS);
        printer.coverOpen(true);
        assertStatus(1, "cover open");
        assertEquals(-2, write(refused), "_writeData with the cover open");
        awaitReenable(enables);
        assertEquals(-2, write(refused), "_writeData with the cover open, after the next pass");
        printer.coverOpen(false);
        assertStatus(0, "cover closed");
        byte[] coverClosed = text("cover closed\n");
        assertEquals(coverClosed.length, write(coverClosed), "_writeData once the cover is closed");

        printer.dsr(false);
        assertStatus(8, "DSR dropped");
        assertEquals(-2, write(refused), "_writeData while DSR is low");
        printer.dsr(true);
        // Back on line, the next pass enables automatic status again and the report says ready.
        assertStatus(0, "DSR back");
        byte[] dsrBack = text("DSR back\n");
        assertEquals(dsrBack.length, write(dsrBack), "_writeData once DSR is back");

        for (byte[] accepted : new byte[][] {nearEnd, paperBack, coverClosed, dsrBack}) {
            assertTrue(printer.waitSequence(accepted, 1, ARRIVAL), "accepted data arrives: "
                    + new String(accepted, StandardCharsets.US_ASCII).strip());
        }
        assertEquals(0, printer.count(refused), "refused data reached the printer");
    }

    /**
     * The first wait, on an idle printer, ends soon; the second must not take the first one's
     * reply for its own: it ends only once the slow printer has printed the job.
     */
    @Test
    void completionIsReportedOnceThePrinterHasPrintedEverything() {
        claimThermal();
        Timing.Timed idle = Timing.time(() -> port._WaitForCompletePrinting(0) ? 1 : 0);
        assertEquals(1, idle.result(), "_WaitForCompletePrinting on an idle printer");
        // At worst the rest of an idle pass, one 50 ms poll and the 100 ms settle.
        assertTrue(idle.millis() >= 90 && idle.millis() <= (500 + 50 + 100) * 14 / 10 + 150,
                "_WaitForCompletePrinting on an idle printer took " + idle.millis() + " ms");

        printer.printSpeed(1000);
        byte[] job = job(1000);
        assertEquals(job.length, write(job), "_writeData of a one-second job");
        Timing.Timed slow = Timing.time(() -> port._WaitForCompletePrinting(0) ? 1 : 0);
        assertEquals(1, slow.result(), "_WaitForCompletePrinting after a one-second job");
        assertTrue(printer.waitPrinted(Duration.ofMillis(1)),
                "_WaitForCompletePrinting returned before the printer had printed the job");
        // One second of printing, then one 50 ms poll and the 100 ms settle.
        assertTrue(slow.millis() >= 900 && slow.millis() <= (1000 + 50 + 100) * 14 / 10 + 150,
                "_WaitForCompletePrinting after a one-second job took " + slow.millis() + " ms");
        assertEquals(2, printer.count(PROCESS_ID_REQUEST), "one request per wait");
    }

    @Test
    void completionWaitEndsUnfinishedWhenTheCoverOpens() throws Exception {
        claimThermal();
        printer.printSpeed(200);
        byte[] job = job(1000); // five seconds of printing
        assertEquals(job.length, write(job));
        long[] endedAt = {0};
        CompletableFuture<Boolean> wait = CompletableFuture.supplyAsync(() -> {
            boolean printed = port._WaitForCompletePrinting(0);
            endedAt[0] = System.nanoTime();
            return printed;
        });
        assertTrue(printer.waitSequence(PROCESS_ID_REQUEST, 1, ARRIVAL), "the request is sent");
        assertFalse(wait.isDone(), "the wait ended while the job was still printing");
        long openedAt = System.nanoTime();
        printer.coverOpen(true);
        assertFalse(wait.get(5, TimeUnit.SECONDS),
                "_WaitForCompletePrinting with the cover opened");
        // The printer reports at once; the waiting monitor polls every 50 ms, but may still be
        // in the rest of an idle sleep begun before the wait; the wait polls every 20 ms, and
        // the printer command itself takes a moment.
        long millis = (endedAt[0] - openedAt) / 1_000_000;
        assertTrue(millis <= (500 + 50 + 20 + 30) * 14 / 10 + 150,
                "the wait ended " + millis + " ms after the cover opened");
        assertEquals(1, port._getPrinterStatus(1000));
    }

    @Test
    void closingFromAnotherThreadEndsTheCompletionWait() throws Exception {
        claimThermal();
        printer.silent(true);
        long[] endedAt = {0};
        CompletableFuture<Boolean> wait = CompletableFuture.supplyAsync(() -> {
            boolean printed = port._WaitForCompletePrinting(0);
            endedAt[0] = System.nanoTime();
            return printed;
        });
        assertTrue(printer.waitSequence(PROCESS_ID_REQUEST, 1, ARRIVAL), "the request is sent");
        assertFalse(Poll.until(Duration.ofMillis(1000), wait::isDone),
                "the wait ended although the printer never answered");

        Timing.Timed closing = Timing.time(this::closePort);
        long closedAt = System.nanoTime();
        assertFalse(wait.get(5, TimeUnit.SECONDS), "_WaitForCompletePrinting ended by _closePort");
        Timing.assertAbout(1000, closing, "_closePort during the wait");
        // The release tells the wait to stop before its one-second pause, not after it.
        assertTrue(endedAt[0] < closedAt, "the wait ended only "
                + (endedAt[0] - closedAt) / 1_000_000 + " ms after _closePort had returned");
        assertEquals(0, descriptorsOnPrinter(), "the device is closed");
    }
}
