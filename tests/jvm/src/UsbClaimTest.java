import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Claiming a USB printer: both modes, the live status and the writes it refuses, the drawer,
 * the completion wait, and how long a close takes.
 */
class UsbClaimTest extends UsbPrinterTest {
    /** What an impact claim asks before anything else: NUL, DLE EOT 2, DLE EOT 4. */
    private static final byte[] IMPACT_PROBE =
            Bytes.concat(Bytes.of(0x00), Bytes.DLE_EOT_2, Bytes.DLE_EOT_4);
    /** GS ( H fn 48 with its length and m: the completion request, before its four ID bytes. */
    private static final byte[] COMPLETION_REQUEST = Bytes.of(0x1D, 0x28, 0x48, 0x06, 0x00, 0x30,
            0x30);

    private static byte[] text(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    @Test
    void thermalClaimHasAutomaticStatusOnBeforeItReturns() {
        openReady();
        Timing.Timed claimed = Timing.time(() -> port._claim(1000, true));
        assertEquals(0, claimed.result(), "_claim(1000, true)");
        Timing.assertAbout(500, claimed, "_claim(1000, true)");
        assertEquals(1, printer.count(ENABLE_AUTO_STATUS), "GS a 255 when the claim returns");
        byte[] first = text("first line after the claim\n");
        assertEquals(first.length, write(first), "the first _writeData after the claim");
        assertTrue(printer.waitSequence(first, 1, ARRIVAL), "the first line arrives");
        assertEquals(0, port._getPrinterStatus(1000));
    }

    @Test
    void impactClaimAsksFirst() {
        openReady();
        Timing.Timed claimed = Timing.time(() -> port._claim(1000, false));
        assertEquals(0, claimed.result(), "_claim(1000, false) on a ready printer");
        Timing.assertAbout(500, claimed, "_claim(1000, false)");
        assertTrue(printer.waitBytes(IMPACT_PROBE.length, ARRIVAL), "the impact probe");
        assertArrayEquals(IMPACT_PROBE,
                Arrays.copyOf(printer.received(), IMPACT_PROBE.length),
                "NUL, DLE EOT 2, DLE EOT 4 before anything else");
    }

    @ParameterizedTest
    @ValueSource(strings = {"silent on", "cover open", "paper end"})
    void impactClaimOfAPrinterThatIsNotReadyIsRefusedAndClosesThePort(String state) {
        openReady();
        printer.ok(state);
        assertEquals(1, port._claim(1000, false), "_claim(1000, false) with " + state);
        byte[] asked = Arrays.copyOf(printer.received(), 4);
        assertArrayEquals(Arrays.copyOf(IMPACT_PROBE, 4), asked, "NUL and DLE EOT 2 first");
        assertEquals(0, descriptorsOnPrinter(), "the node is closed after the refusal");
        assertTrue(write(text("x\n")) < 0, "_writeData after the refused claim");
        assertEquals(0, printer.count(ENABLE_AUTO_STATUS), "no monitor ever ran");
    }

    /** Offline (8) is a lost node here: see UsbUnplugTest. */
    @Test
    void statusFollowsThePrinterAndWritesAreRefusedWhileItCannotPrint() {
        claimThermal();
        byte[] refused = text("REFUSED\n");
        String[][] states = {
            {"cover open", "cover close", "1"},
            {"paper end", "paper ok", "2"},
        };
        for (String[] state : states) {
            printer.ok(state[0]);
            assertStatus(Integer.parseInt(state[2]), state[0]);
            Timing.Timed timed = Timing.time(() -> write(refused));
            assertEquals(-2, timed.result(), "_writeData with " + state[0]);
            Timing.assertQuick(timed, "the refused _writeData with " + state[0]);
            printer.ok(state[1]);
            assertStatus(0, state[1]);
            byte[] accepted = text("after " + state[1] + "\n");
            assertEquals(accepted.length, write(accepted), "_writeData after " + state[1]);
            assertTrue(printer.waitSequence(accepted, 1, ARRIVAL), "the line after " + state[1]);
        }
        assertEquals(0, printer.count(refused), "refused data reached the printer");
    }

    /**
     * A USB printer reports itself offline with the short reply 3B 31 00: the next writes are
     * refused (the status code stays what it was). Probed with one-byte writes, which print
     * while they are accepted.
     */
    @Test
    void offlineReplyRefusesWritesWithinAPass() throws InterruptedException {
        claimThermal();
        printer.clear();
        printer.send(Bytes.of(0x3B, 0x31, 0x00));
        long deadline = System.nanoTime() + (500 * 14 / 10 + 150) * 1_000_000L;
        int accepted = 0;
        int result = 0;
        while (System.nanoTime() < deadline && (result = write((byte) 'o')) == 1) {
            accepted++;
            Thread.sleep(20);
        }
        assertEquals(-2, result, "_writeData within a pass of the offline reply");
        int before = accepted;
        assertTrue(Poll.until(ARRIVAL, () -> printer.count((byte) 'o') >= before),
                "the writes accepted before the refusal arrive");
        assertEquals(accepted, printer.count((byte) 'o'), "the refused write reached the printer");
    }

    @Test
    void drawerPulseIsSentThenTheCallWaitsTwoSeconds() {
        openReady();
        Timing.Timed pin2 = Timing.time(() -> port._OpenDrawer(2, 100, 200));
        assertEquals(0, pin2.result(), "_OpenDrawer(2, 100, 200)");
        Timing.assertAbout(2000, pin2, "_OpenDrawer(2, 100, 200)");
        assertPrinterReceived(Bytes.of(0x1B, 0x70, 0x30, 0x32, 0x64), "ESC p to pin 2");
        printer.clear();
        Timing.Timed other = Timing.time(() -> port._OpenDrawer(1, 100, 100));
        assertEquals(1, other.result(), "_OpenDrawer on pin 1");
        Timing.assertQuick(other, "_OpenDrawer on pin 1");
        Timing.Timed pin5 = Timing.time(() -> port._OpenDrawer(5, 3, 3));
        assertEquals(0, pin5.result(), "_OpenDrawer(5, 3, 3)");
        Timing.assertAbout(2000, pin5, "_OpenDrawer(5, 3, 3)");
        assertPrinterReceived(Bytes.of(0x1B, 0x70, 0x31, 0x01, 0x01),
                "ESC p to pin 5, and nothing for pin 1");
    }

    @Test
    void completionWaitEndsOnThePrintersAnswer() {
        openReady();
        Timing.Timed unclaimed = Timing.time(() -> port._WaitForCompletePrinting(1000) ? 1 : 0);
        assertEquals(0, unclaimed.result(), "_WaitForCompletePrinting without a claim");
        Timing.assertQuick(unclaimed, "_WaitForCompletePrinting without a claim");

        assertEquals(0, port._claim(1000, true), "_claim(1000, true)");
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
    void closeWaitsOnlyAfterAClaim() {
        openReady();
        Timing.Timed unclaimed = Timing.time(this::closePort);
        Timing.assertQuick(unclaimed, "_closePort without a claim");
        assertEquals(0, descriptorsOnPrinter());

        openReady();
        assertEquals(0, port._claim(1000, true));
        Timing.Timed claimed = Timing.time(this::closePort);
        Timing.assertAbout(1000, claimed, "_closePort after a claim");
        assertEquals(0, descriptorsOnPrinter());
        assertFalse(port._WaitForCompletePrinting(0), "_WaitForCompletePrinting once closed");
    }
}
