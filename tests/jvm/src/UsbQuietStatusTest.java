import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * A claimed printer with nothing to say: a node that gives no bytes is not a lost node. The
 * status stays ready and the monitor never reopens the path (a reopen would enable automatic
 * status again).
 */
class UsbQuietStatusTest extends UsbPrinterTest {
    private static final long QUIET_MS = 30_000;
    private static final long SAMPLE_MS = 50;

    @Test
    void quietReadyPrinterStaysReadyOnItsFirstNode() throws InterruptedException {
        claimThermal();
        int ptys = printer.connections();
        List<String> notReady = new ArrayList<>();
        long start = System.nanoTime();
        long elapsed;
        int samples = 0;
        while ((elapsed = (System.nanoTime() - start) / 1_000_000) < QUIET_MS) {
            int status = port._getPrinterStatus(1000);
            samples++;
            if (status != 0 && notReady.size() < 20) {
                notReady.add(status + " at " + elapsed + " ms");
            }
            Thread.sleep(SAMPLE_MS);
        }
        assertEquals(List.of(), notReady, "statuses other than ready in " + samples + " samples");
        assertEquals(1, printer.count(ENABLE_AUTO_STATUS), "GS a 255 in " + QUIET_MS + " ms");
        assertEquals(ptys, printer.connections(), "ptys of the printer");
        assertEquals(1, descriptorsOnPrinter(), "descriptors on the node");
    }
}
