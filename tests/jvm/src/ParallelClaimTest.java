import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import org.junit.jupiter.api.Test;

/**
 * Claiming a parallel printer: the thermal claim's monitor (a pass every 300 ms that reads the
 * printer in nibble mode), a printer switched off and on, the impact claim that starts nothing,
 * the completion wait, the drawer, and how long a close takes.
 */
class ParallelClaimTest extends ParallelPrinterTest {
    /** GS ( H fn 48 with its length and m: the completion request, before its four ID bytes. */
    private static final byte[] COMPLETION_REQUEST = Bytes.of(0x1D, 0x28, 0x48, 0x06, 0x00, 0x30,
            0x30);

    @Test
    void thermalClaimReturnsAfterHalfASecondWithTheStatusLive() {
        openReady();
        Timing.Timed claimed = Timing.time(() -> port._claim(1000, true));
        assertEquals(0, claimed.result(), "_claim(1000, true)");
        Timing.assertAbout(500, claimed, "_claim(1000, true)");
        assertEquals(0, port._getPrinterStatus(1000), "status when the claim returns");
        byte[] first = text("first line after the claim\n");
        assertEquals(first.length, write(first), "the first _writeData after the claim");
        assertTrue(printer.waitSequence(first, 1, ARRIVAL), "the first line arrives");
        printer.coverOpen(true);
        assertStatus(1, "cover open");
        printer.coverOpen(false);
        assertStatus(0, "cover close");
    }

    /**
     * A printer whose reverse channel is refused is offline on every pass, and automatic status
     * is asked for again on each following pass until the printer answers. (Its status lines
     * still show it ready, so each request reaches it and can be counted.)
     */
    @Test
    void refusedReverseChannelIsOfflineOnEveryPassAndAutomaticStatusIsAskedForAgain() {
        claimThermal();
        printer.reverse(false);
        assertStatus(8, "reverse off");
        int enablesWhenOffline = printer.count(ENABLE_AUTO_STATUS);
        assertEquals(List.of(), statusesOtherThan(8, 4 * PASS_MS), "statuses while offline");
        int enablesWhileOffline = printer.count(ENABLE_AUTO_STATUS) - enablesWhenOffline;
        assertTrue(enablesWhileOffline >= 2 && enablesWhileOffline <= 5, "GS a 255 "
                + enablesWhileOffline + " times in " + 4 * PASS_MS + " ms offline");

        printer.reverse(true);
        assertStatus(0, "reverse on");
        assertEnablesStop("reverse on");
    }

    /** Switched off, the printer takes nothing: it is asked for automatic status once back. */
    @Test
    void printerSwitchedOffIsOfflineUntilItIsOnAndAnswersAgain() {
        claimThermal();
        int enablesBefore = printer.count(ENABLE_AUTO_STATUS);
        printer.power(false);
        assertStatus(8, "power off");
        assertEquals(List.of(), statusesOtherThan(8, 3 * PASS_MS), "statuses while off");

        printer.power(true);
        assertStatus(0, "power on");
        assertTrue(printer.count(ENABLE_AUTO_STATUS) > enablesBefore,
                "GS a 255 after the printer was switched on again");
        assertEnablesStop("power on");
        byte[] line = text("printed after power on\n");
        assertEquals(line.length, write(line), "_writeData after power on");
        assertTrue(printer.waitSequence(line, 1, ARRIVAL), "the line after power on");
    }

    /** The statuses other than {@code expected} seen in {@code millis}, with their times. */
    private List<String> statusesOtherThan(int expected, long millis) {
        List<String> others = new ArrayList<>();
        long start = System.nanoTime();
        Poll.until(Duration.ofMillis(millis), () -> {
            int status = port._getPrinterStatus(1000);
            if (status != expected) {
                others.add(status + " at " + (System.nanoTime() - start) / 1_000_000 + " ms");
            }
            return false;
        });
        return others;
    }

    /** Once the printer has answered, the monitor's passes ask no more. */
    private void assertEnablesStop(String after) {
        int enables = printer.count(ENABLE_AUTO_STATUS);
        assertFalse(printer.waitSequence(ENABLE_AUTO_STATUS, enables + 1,
                Duration.ofMillis(3 * PASS_MS)), "GS a 255 after " + after + " and an answer");
    }

    @Test
    void impactClaimStartsNoThreadAndHasNoCompletionWait() {
        openReady();
        assertFalse(port._WaitForCompletePrinting(1000), "_WaitForCompletePrinting unclaimed");
        Set<Integer> threads = NativeThreads.namedLikeCaller();
        assertEquals(0, port._claim(1000, false), "_claim(1000, false)");
        assertEquals(threads, NativeThreads.namedLikeCaller(), "threads after an impact claim");
        Timing.Timed waited = Timing.time(() -> port._WaitForCompletePrinting(1000) ? 1 : 0);
        assertEquals(0, waited.result(), "_WaitForCompletePrinting after an impact claim");
        Timing.assertQuick(waited, "_WaitForCompletePrinting after an impact claim");
        assertEquals(0, printer.count(COMPLETION_REQUEST), "GS ( H after an impact claim");
        byte[] line = text("impact line\n");
        assertEquals(line.length, write(line), "_writeData after an impact claim");
        assertPrinterReceived(line, "all an impact claim and its line send");
        Timing.Timed closed = Timing.time(this::closePort);
        Timing.assertQuick(closed, "_closePort after an impact claim");
    }

    @Test
    void completionWaitOfAThermalClaimEndsOnThePrintersAnswer() {
        claimThermal();
        printer.printSpeed(1000);
        byte[] job = text("a line the printer takes a second to print\n".repeat(23));
        assertEquals(job.length, write(job), "_writeData of a one-second job");
        Timing.Timed waited = Timing.time(() -> port._WaitForCompletePrinting(0) ? 1 : 0);
        assertEquals(1, waited.result(), "_WaitForCompletePrinting after a one-second job");
        assertEquals(1, printer.count(COMPLETION_REQUEST), "GS ( H fn 48 once");
        assertTrue(printer.waitPrinted(Duration.ofMillis(1)),
                "_WaitForCompletePrinting returned before the printer had printed the job");
        assertTrue(waited.millis() >= 900, "the wait took " + waited.millis() + " ms");
    }

    @Test
    void drawerPulseIsSentThenTheCallWaitsTwoSeconds() {
        openReady();
        Timing.Timed pin2 = Timing.time(() -> port._OpenDrawer(2, 100, 200));
        assertEquals(0, pin2.result(), "_OpenDrawer(2, 100, 200)");
        Timing.assertAbout(2000, pin2, "_OpenDrawer(2, 100, 200)");
        assertPrinterReceived(Bytes.of(0x1B, 0x70, 0x30, 0x32, 0x64), "ESC p to pin 2");
        printer.clear();
        Timing.Timed pin5 = Timing.time(() -> port._OpenDrawer(5, 3, 3));
        assertEquals(0, pin5.result(), "_OpenDrawer(5, 3, 3)");
        Timing.assertAbout(2000, pin5, "_OpenDrawer(5, 3, 3)");
        assertPrinterReceived(Bytes.of(0x1B, 0x70, 0x31, 0x01, 0x01), "ESC p to pin 5");
    }

    /** The release wait, then the monitor is joined: about a second, and the port let go. */
    @Test
    void closeAfterAThermalClaimTakesAboutASecond() {
        claimThermal();
        Timing.Timed closed = Timing.time(this::closePort);
        Timing.assertAbout(1000, closed, "_closePort after a thermal claim");
        assertEquals(0, descriptorsOnPrinter(), "descriptors after _closePort");
        assertFalse(port._WaitForCompletePrinting(0), "_WaitForCompletePrinting once closed");
        assertEquals(0, open(), "_openPort again: the port was let go");
    }
}
