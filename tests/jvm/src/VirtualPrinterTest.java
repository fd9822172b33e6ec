import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.NativePort;
import java.time.Duration;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;

/**
 * One port library in this JVM and a fresh virtual printer for every test. A subclass loads its
 * library and says which printer it starts.
 *
 * <p>The library keeps one process-wide connection, so the tests of a class run one after the
 * other and every test leaves the port closed.
 */
abstract class VirtualPrinterTest<P extends NativePort> {
    /** Longest wait for bytes the library has already handed to the line. */
    static final Duration ARRIVAL = Duration.ofSeconds(5);
    /** A report is seen on the monitor's next pass; room for a busy machine. */
    static final Duration STATUS_CHANGE = Duration.ofSeconds(4);
    static final byte[] ENABLE_AUTO_STATUS = Bytes.of(0x1D, 0x61, 0xFF);
    /** The open-time readiness questions: DLE EOT 2 (cover), then DLE EOT 4 (paper). */
    static final byte[] OPEN_PROBE = Bytes.concat(Bytes.DLE_EOT_2, Bytes.DLE_EOT_4);

    final P port;
    VirtualPrinterProcess printer;
    private boolean portOpen;

    VirtualPrinterTest(P port) {
        this.port = port;
    }

    /** The printer a test starts with. */
    abstract VirtualPrinterProcess newPrinter();

    /** The settings text a plain open of a ready printer passes. */
    String readySettings() {
        return "";
    }

    @BeforeEach
    void startPrinter() {
        printer = newPrinter();
    }

    @AfterEach
    void closeEverything() {
        try {
            if (portOpen) {
                port._closePort();
            }
        } finally {
            printer.close();
        }
    }

    /** {@code _openPort}; remembers to close the port if it opened. */
    long openPort(String path, String settings) {
        long result = port._openPort(path, settings);
        portOpen = result == 0;
        return result;
    }

    /** Opens a ready printer and forgets the open-time status questions. */
    void openReady() {
        assertEquals(0, openPort(printer.device(), readySettings()), "_openPort on a ready printer");
        printer.clear();
    }

    /** Opens, claims thermal, and waits for the monitor's enable and a ready status. */
    void claimThermal() {
        openReady();
        assertEquals(0, port._claim(1000, true), "_claim(1000, true)");
        assertTrue(printer.waitSequence(ENABLE_AUTO_STATUS, 1, ARRIVAL),
                "GS a 255 after the claim");
        assertStatus(0, "the claim");
    }

    void closePort() {
        port._closePort();
        portOpen = false;
    }

    int write(byte... bytes) {
        return port._writeData(bytes, bytes.length, 1000);
    }

    void assertStatus(int expected, String after) {
        assertEquals(expected, Poll.untilEquals(STATUS_CHANGE, expected,
                () -> port._getPrinterStatus(1000)), "_getPrinterStatus after " + after);
    }

    /** Waits until the printer holds exactly {@code expected} (nothing more). */
    void assertPrinterReceived(byte[] expected, String what) {
        assertTrue(printer.waitBytes(expected.length, ARRIVAL), what + ": printer got only "
                + printer.received().length + " of " + expected.length + " bytes");
        assertArrayEquals(expected, printer.received(), what);
    }

    /** Descriptors of this JVM on the printer's device (0 while it is unplugged). */
    long descriptorsOnPrinter() {
        return OpenDescriptors.countFor(printer.device());
    }
}
