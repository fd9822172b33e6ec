import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** Claims on the serial library: live status, the impact claim probe, completion, release. */
class SerialLiveStatusTest extends SerialPrinterTest {
    private static final byte[] ENABLE = {0x1d, 0x61, (byte) 0xff};

    private void claimThermal() {
        openReady();
        printer.clear();
        assertEquals(0, port._claim(1000, true));
        assertTrue(printer.waitSequence(ENABLE, 1, Duration.ofSeconds(3)), "enable sent");
    }

    private boolean statusBecomes(int status) {
        return Deadline.waitFor(() -> port._getPrinterStatus(0) == status, 4000);
    }

    @Test
    void claimBeforeOpenIsRefused() {
        assertEquals(1, port._claim(1000, true));
        assertEquals(1, port._claim(1000, false));
    }

    @Test
    void statusFollowsThePrinter() {
        claimThermal();
        assertEquals(1, printer.count(ENABLE), "one enable in the first pass");
        printer.drawerOpen(true);
        assertTrue(Deadline.waitFor(() -> port._getCashDrawerStatus(0) == 1, 4000));
        printer.drawerOpen(false);
        assertTrue(Deadline.waitFor(() -> port._getCashDrawerStatus(0) == 0, 4000));
        printer.paper("near");
        assertTrue(statusBecomes(16), "near end");
        printer.paper("end");
        assertTrue(statusBecomes(2), "paper end");
        assertEquals(-2, write(Bytes.of('x')));
        printer.paper("ok");
        assertTrue(statusBecomes(0), "paper back");
        printer.coverOpen(true);
        assertTrue(statusBecomes(1), "cover open");
        assertEquals(-2, write(Bytes.of('x')));
        printer.coverOpen(false);
        assertTrue(statusBecomes(0), "cover closed");
    }

    @Test
    void impactClaimOnAnOpenCoverClosesThePort() {
        openReady();
        printer.coverOpen(true);
        assertEquals(1, port._claim(1000, false));
        assertEquals(-1, write(Bytes.of('x')), "port closed");
    }

    @Test
    void completionWait() {
        claimThermal();
        assertEquals(3, write(Bytes.of('a', 'b', '\n')));
        Timing.Timed timed = Timing.time(() -> port._WaitForCompletePrinting(0) ? 1 : 0);
        assertEquals(1, timed.result(), "printed");
        assertTrue(timed.millis() < 1500, "took " + timed.millis() + " ms");

        // The cover opens while a slow job prints.
        printer.printSpeed(200);
        byte[] job = new byte[2000];
        java.util.Arrays.fill(job, (byte) 'p');
        assertEquals(job.length, write(job));
        CompletableFuture<Boolean> wait =
                CompletableFuture.supplyAsync(() -> port._WaitForCompletePrinting(0));
        printer.coverOpen(true);
        assertFalse(wait.join(), "cover opened during the wait");
    }

    @Test
    void closeFromAnotherThreadEndsTheWait() throws Exception {
        claimThermal();
        printer.silent(true);
        CompletableFuture<Boolean> wait =
                CompletableFuture.supplyAsync(() -> port._WaitForCompletePrinting(0));
        assertFalse(Deadline.waitFor(wait::isDone, 300), "still waiting");
        port._closePort();
        assertFalse(wait.get(3, TimeUnit.SECONDS));
    }

    @Test
    void claimsLeaveNoThreadBehind() {
        int before = Deadline.count();
        for (int cycle = 0; cycle < 8; cycle++) {
            openReady();
            assertEquals(0, port._claim(1000, cycle % 2 == 0));
            port._closePort();
        }
        assertTrue(Deadline.waitFor(() -> Deadline.count() <= before, 2000),
                "threads before " + before + ", after " + Deadline.count());
    }
}
