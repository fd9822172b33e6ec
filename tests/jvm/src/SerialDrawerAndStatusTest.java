import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The drawer kick-out, the status calls and closing, on the serial library. */
class SerialDrawerAndStatusTest extends SerialPrinterTest {
    /** ESC p m t1 t2: m 0x30 for pin 2, 0x31 for pin 5, times halved and cut to eight bits. */
    @ParameterizedTest
    @CsvSource({
        "2, 100, 200, 1b 70 30 32 64",
        "5, 3, 3, 1b 70 31 01 01",
        "2, 600, 1000, 1b 70 30 2c f4",
    })
    void drawerPulseIsSentThenTheCallWaitsTwoSeconds(long pin, long on, long off, String command) {
        openReady();
        Timing.Timed timed = Timing.time(() -> port._OpenDrawer(pin, on, off));
        assertEquals(0, timed.result());
        Timing.assertAbout(2000, timed, "_OpenDrawer");
        assertPrinterReceived(VirtualPrinterProcess.parseHex(command), "_OpenDrawer(" + pin + ", "
                + on + ", " + off + ")");
    }

    @Test
    void drawerPinOtherThanTwoOrFiveSendsNothing() {
        openReady();
        for (long pin : new long[] {1, 0, 3, -2, 0x100000002L}) {
            Timing.Timed timed = Timing.time(() -> port._OpenDrawer(pin, 100, 100));
            assertEquals(1, timed.result(), "pin " + pin);
            Timing.assertQuick(timed, "_OpenDrawer on pin " + pin);
        }
        assertNothingElseArrives("_OpenDrawer on other pins");
    }

    @Test
    void statusBeforeAnyClaimIsReadyAndDrawerClosed() {
        assertEquals(0, port._getPrinterStatus(1000), "before open");
        assertEquals(0, port._getCashDrawerStatus(1000), "before open");
        openReady();
        printer.drawerOpen(true); // not watched before a claim
        assertEquals(0, port._getPrinterStatus(1000), "open, not claimed");
        assertEquals(0, port._getCashDrawerStatus(1000), "open, not claimed");
        Timing.Timed timed = Timing.time(
                () -> port._WaitForUntilDrawerClose(true) + port._WaitForUntilDrawerClose(false));
        assertEquals(0, timed.result());
        Timing.assertQuick(timed, "_WaitForUntilDrawerClose");
    }

    @Test
    void releaseWithoutClaimKeepsThePortUsable() {
        openReady();
        Timing.Timed timed = Timing.time(port::_release);
        Timing.assertQuick(timed, "_release");
        assertEquals(2, write(Bytes.of('o', 'k')));
        assertPrinterReceived(Bytes.of('o', 'k'), "write after _release");
    }

    /** With no monitor to wait for, a close does not sit out the release wait. */
    @Test
    void closeWithoutAClaimDoesNotWait() {
        assertTrue(Timing.time(port::_closePort).millis() < 200, "_closePort with nothing open");
        assertTrue(Timing.time(port::_closePort).millis() < 200, "a second _closePort");
        openReady();
        assertTrue(Timing.time(this::closePort).millis() < 200, "_closePort on an open port");
        assertEquals(0, descriptorsOnPrinter());
    }

    @Test
    void closeClosesTheDeviceAfterTheReleaseWait() {
        openReady();
        assertEquals(0, port._claim(1000, true));
        Timing.assertAbout(1000, Timing.time(this::closePort), "_closePort after a claim");
        assertEquals(0, descriptorsOnPrinter());
    }

    /** Every native is bound under its JNI name and returns to Java, whatever it does. */
    @Test
    void everyNativeIsCallable() throws Exception {
        openReady();
        byte[] rbuf = new byte[32];
        port._release();
        port._readData(rbuf, rbuf.length, 100);
        port._writeData(Bytes.of(0x1b, 0x40), 2, 100);
        port._getPrinterStatus(100);
        port._getCashDrawerStatus(100);
        port._OpenDrawer(1, 0, 0);
        port._WaitForUntilDrawerClose(false);
        port._claim(1000, true);
        // The completion wait has no limit of its own: it ends on the printer's reply or, at the
        // latest, when the port is closed from another thread.
        CompletableFuture<Boolean> printed =
                CompletableFuture.supplyAsync(() -> port._WaitForCompletePrinting(3000));
        try {
            printed.get(15, TimeUnit.SECONDS);
        } catch (TimeoutException e) {
            // no reply seen; _closePort below must end the wait
        }
        closePort();
        assertDoesNotThrow(() -> printed.get(5, TimeUnit.SECONDS),
                "_WaitForCompletePrinting ends by _closePort at the latest");
    }
}
