import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * The DTR/DSR handshake of "hdwr" (and of a bare rate): the printer drops DSR while it cannot
 * take data. The pty has no modem lines; the printer publishes DSR in PRNSIM_MODEM_FILE and the
 * shim preloaded into this JVM answers the library's TIOCMGET from it.
 */
class SerialHandshakeTest extends SerialPrinterTest {
    /** How long the printer may hold DSR low before a write gives up. */
    private static final long ALLOWANCE_MS = 5000;

    @Override
    VirtualPrinterProcess newPrinter() {
        return VirtualPrinterProcess.serial("--modem");
    }

    @Test
    void dataWaitsWhileDsrIsLow() throws Exception {
        openReady();
        printer.dsr(false);
        byte[] data = Bytes.everyValue(600);
        CompletableFuture<Integer> written =
                CompletableFuture.supplyAsync(() -> port._writeData(data, data.length, 5000));
        assertFalse(printer.waitBytes(1, Duration.ofMillis(1000)), "nothing is sent while DSR is low");
        printer.dsr(true);
        assertEquals(600, written.get(ALLOWANCE_MS, TimeUnit.MILLISECONDS));
        assertPrinterReceived(data, "the held data once DSR is back");
    }

    @Test
    void dsrLowForTheWholeAllowanceFailsTheWrite() {
        openReady();
        printer.dsr(false);
        Timing.Timed timed = Timing.time(() -> write(Bytes.of('a', 'b', 'c')));
        assertEquals(-2, timed.result());
        Timing.assertAbout(ALLOWANCE_MS, timed, "write with DSR low");
        printer.dsr(true);
        assertNothingElseArrives("the refused write");
    }

    @Test
    void noFlowControlIgnoresDsr() {
        assertEquals(0, open("9600,none,8,1,none"));
        printer.clear();
        printer.dsr(false);
        Timing.Timed timed = Timing.time(() -> write(Bytes.of('a', 'b', 'c')));
        assertEquals(3, timed.result());
        Timing.assertQuick(timed, "write without flow control");
        assertPrinterReceived(Bytes.of('a', 'b', 'c'), "data with DSR low and no flow control");
    }
}
