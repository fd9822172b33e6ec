import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import java.time.Duration;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;

/**
 * libprnserial.so in this JVM and a fresh virtual serial printer for every test.
 *
 * <p>The library keeps one process-wide connection, so the tests of a class run one after the
 * other and every test leaves the port closed.
 */
abstract class SerialPrinterTest {
    /** Longest wait for bytes the library has already handed to the line. */
    static final Duration ARRIVAL = Duration.ofSeconds(5);

    final JNativeCommonPort4LinuxSerial port = new JNativeCommonPort4LinuxSerial();
    VirtualPrinterProcess printer;
    private boolean portOpen;

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.serial");
    }

    @BeforeEach
    void startPrinter() {
        printer = VirtualPrinterProcess.serial();
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

    /** {@code _openPort} on the virtual printer; remembers to close it if it opened. */
    long open(String settings) {
        long result = port._openPort(printer.device(), settings);
        portOpen = result == 0;
        return result;
    }

    /** Opens with a bare rate on a ready printer and forgets the open-time status queries. */
    void openReady() {
        assertEquals(0, open("9600"), "_openPort on a ready printer");
        printer.clear();
    }

    void closePort() {
        port._closePort();
        portOpen = false;
    }

    int write(byte... bytes) {
        return port._writeData(bytes, bytes.length, 1000);
    }

    /** Waits until the printer holds exactly {@code expected} (nothing more). */
    void assertPrinterReceived(byte[] expected, String what) {
        assertTrue(printer.waitBytes(expected.length, ARRIVAL), what + ": printer got only "
                + printer.received().length + " of " + expected.length + " bytes");
        assertArrayEquals(expected, printer.received(), what);
    }

    /**
     * Proves that nothing reached the printer: a marker written afterwards must arrive alone.
     * Needs an open port.
     */
    void assertNothingElseArrives(String what) {
        byte[] marker = Bytes.of('#', 0x0A);
        assertEquals(marker.length, write(marker), "writing the marker");
        assertPrinterReceived(marker, what + " (only the marker written afterwards may arrive)");
    }

    long descriptorsOnPrinter() {
        return OpenDescriptors.countFor(printer.device());
    }
}
