import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import java.time.Duration;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The network library in a real JVM against the virtual network printer. */
class NetworkPortTest {
    private static final byte[] ENABLE = {0x1d, 0x61, (byte) 0xff};

    private final JNativeCommonPort4LinuxEthernet port = new JNativeCommonPort4LinuxEthernet();
    private VirtualPrinterProcess printer;

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.net");
    }

    @BeforeEach
    void startPrinter() {
        printer = VirtualPrinterProcess.tcp("--net-model");
    }

    @AfterEach
    void closeEverything() {
        port._closePort();
        printer.close();
    }

    private String portText() {
        return Integer.toString(printer.port());
    }

    private void claimThermal() {
        assertEquals(0, port._openPort("SOCKET:127.0.0.1", portText()));
        assertEquals(0, port._claim(1000, true));
        assertTrue(printer.waitSequence(ENABLE, 1, Duration.ofSeconds(3)), "enable sent");
    }

    @Test
    void addressTexts() {
        assertEquals(-1, port._openPort("127.0.0.1", portText()), "no prefix");
        assertEquals(-1, port._openPort("socket:127.0.0.1", portText()), "lower-case prefix");
        assertEquals(-1, port._openPort("SOCKET:127.0.0.1:" + portText(), portText()),
                "address with a port");
        assertEquals(0, port._openPort("SOCKET:127.0.0.1", portText()));
        assertEquals(3, port._writeData(new byte[] {'a', 'b', 'c'}, 3, 1000));
        assertTrue(printer.waitBytes(6 + 3, Duration.ofSeconds(3)));
    }

    @Test
    void refusedConnectionFailsQuickly() {
        printer.tcpMode("refuse");
        Timing.Timed timed = Timing.time(() -> port._openPort("SOCKET:127.0.0.1", portText()));
        assertEquals(-1, timed.result());
        Timing.assertAbout(0, timed, "refused open");
    }

    @Test
    void liveStatusAndReconnectionAfterAReset() {
        claimThermal();
        printer.coverOpen(true);
        assertTrue(Deadline.waitFor(() -> port._getPrinterStatus(0) == 1, 4000), "cover");
        assertEquals(-2, port._writeData(new byte[] {'x'}, 1, 1000));
        printer.coverOpen(false);
        assertTrue(Deadline.waitFor(() -> port._getPrinterStatus(0) == 0, 4000), "ready");

        printer.tcpMode("reset");
        assertTrue(Deadline.waitFor(() -> port._getPrinterStatus(0) == 8, 4000), "offline");
        printer.clear();
        byte[] job = new byte[400];
        java.util.Arrays.fill(job, (byte) 'j');
        assertEquals(job.length, port._writeData(job, job.length, 5000));
        assertEquals("2", printer.ok("connections"));
        assertTrue(printer.waitSequence(ENABLE, 1, Duration.ofSeconds(3)), "enable again");
        assertTrue(printer.waitSequence(job, 1, Duration.ofSeconds(3)), "whole job resent");
        assertTrue(Deadline.waitFor(() -> port._getPrinterStatus(0) == 0, 4000));
        assertTrue(port._WaitForCompletePrinting(0));
    }

    @Test
    void closeIsQuickAndLeavesNoThread() {
        int before = Deadline.count();
        for (int cycle = 0; cycle < 4; cycle++) {
            claimThermal();
            printer.tcpMode("silent");
            Timing.Timed timed = Timing.time(port::_closePort);
            assertTrue(timed.millis() < 1500, "close took " + timed.millis() + " ms");
            printer.tcpMode("normal");
        }
        assertTrue(Deadline.waitFor(() -> Deadline.count() <= before, 2000),
                "threads before " + before + ", after " + Deadline.count());
    }
}
