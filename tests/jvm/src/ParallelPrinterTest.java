import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxParallel;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;

/**
 * libprnparallel.so in this JVM and a fresh virtual parallel printer for every test: a pty
 * standing in for /dev/parport0, whose ppdev requests (claim, mode negotiation, status lines)
 * the modem shim preloaded into this JVM answers from the file the printer publishes its port
 * in. The settings text means nothing to this library; the tests pass an empty one.
 *
 * <p>The library keeps one process-wide connection, so the tests of a class run one after the
 * other and every test leaves the port closed.
 */
abstract class ParallelPrinterTest {
    /** Longest wait for bytes the library has already handed to the port. */
    static final Duration ARRIVAL = Duration.ofSeconds(5);
    /** The monitor's passes are 300 ms apart. */
    static final long PASS_MS = 300;
    /** A report is seen on the monitor's next pass; room for a busy machine. */
    static final Duration STATUS_CHANGE = Duration.ofSeconds(4);
    static final byte[] ENABLE_AUTO_STATUS = Bytes.of(0x1D, 0x61, 0xFF);
    /** The open-time readiness questions: DLE EOT 2 (cover), then DLE EOT 4 (paper). */
    static final byte[] OPEN_PROBE = Bytes.concat(Bytes.DLE_EOT_2, Bytes.DLE_EOT_4);
    /** The status lines of a ready printer: no fault (0x08) and not busy (0x80) among them. */
    static final int READY_LINES = 0xDF;

    final JNativeCommonPort4LinuxParallel port = new JNativeCommonPort4LinuxParallel();
    VirtualPrinterProcess printer;
    private boolean portOpen;

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.parallel");
    }

    @BeforeEach
    void startPrinter() {
        printer = VirtualPrinterProcess.parallel();
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

    static byte[] text(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    long open() {
        return open(printer.device());
    }

    /** {@code _openPort}; remembers to close the port if it opened. */
    long open(String path) {
        long result = port._openPort(path, "");
        portOpen = result == 0;
        return result;
    }

    /** Opens a ready printer and forgets the open-time status questions. */
    void openReady() {
        assertEquals(0, open(), "_openPort on a ready printer");
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

    /** Descriptors of this JVM on the printer's port. */
    long descriptorsOnPrinter() {
        return OpenDescriptors.countFor(printer.device());
    }
}
