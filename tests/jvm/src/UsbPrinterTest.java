import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxUSB;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;

/**
 * libprnusb.so in this JVM and a fresh virtual USB printer for every test: a pty without line
 * discipline behind a link (lp0 in a folder of its own), opened as the library opens
 * /dev/usb/lp0. The settings text means nothing to this library; the tests pass an empty one.
 *
 * <p>The library keeps one process-wide connection, so the tests of a class run one after the
 * other and every test leaves the port closed.
 */
abstract class UsbPrinterTest {
    /** Longest wait for bytes the library has already handed to the node. */
    static final Duration ARRIVAL = Duration.ofSeconds(5);
    /** A report is seen on the monitor's next pass (500 ms apart); room for a busy machine. */
    static final Duration STATUS_CHANGE = Duration.ofSeconds(4);
    static final byte[] ENABLE_AUTO_STATUS = Bytes.of(0x1D, 0x61, 0xFF);
    /** The open-time readiness questions: DLE EOT 2 (cover), then DLE EOT 4 (paper). */
    static final byte[] OPEN_PROBE = Bytes.concat(Bytes.DLE_EOT_2, Bytes.DLE_EOT_4);

    final JNativeCommonPort4LinuxUSB port = new JNativeCommonPort4LinuxUSB();
    VirtualPrinterProcess printer;
    private boolean portOpen;

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.usb");
    }

    @BeforeEach
    void startPrinter() {
        printer = VirtualPrinterProcess.usb();
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

    long open() {
        return open(printer.device());
    }

    long open(String path) {
        return open(path, "");
    }

    /** {@code _openPort}; remembers to close the port if it opened. */
    long open(String path, String settings) {
        long result = port._openPort(path, settings);
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

    /** Descriptors of this JVM on the printer's current pty (0 while it is unplugged). */
    long descriptorsOnPrinter() {
        return OpenDescriptors.countFor(printer.device());
    }

    /**
     * This JVM's descriptors on any pty, as "fd -> target". A pty that was unplugged shows as
     * "/dev/pts/N (deleted)", which no lookup by name finds any more.
     */
    static Set<String> ptyDescriptors() {
        Set<String> found = new TreeSet<>();
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            fds.forEach(fd -> {
                try {
                    String target = Files.readSymbolicLink(fd).toString();
                    if (target.startsWith("/dev/pts/")) {
                        found.add(fd.getFileName() + " -> " + target);
                    }
                } catch (IOException e) {
                    // closed while we looked (the listing's own descriptor, for one)
                }
            });
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return found;
    }
}
