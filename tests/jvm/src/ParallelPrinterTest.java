import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxParallel;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.BeforeAll;

/**
 * libprnparallel.so in this JVM and a fresh virtual parallel printer for every test: a pty
 * standing in for /dev/parport0, whose ppdev requests (claim, mode negotiation, status lines)
 * the modem shim preloaded into this JVM answers from the file the printer publishes its port
 * in. The settings text means nothing to this library; the tests pass an empty one.
 */
abstract class ParallelPrinterTest extends VirtualPrinterTest<JNativeCommonPort4LinuxParallel> {
    /** The monitor's passes are 300 ms apart. */
    static final long PASS_MS = 300;
    /** The status lines of a ready printer: no fault (0x08) and not busy (0x80) among them. */
    static final int READY_LINES = 0xDF;

    ParallelPrinterTest() {
        super(new JNativeCommonPort4LinuxParallel());
    }

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.parallel");
    }

    @Override
    VirtualPrinterProcess newPrinter() {
        return VirtualPrinterProcess.parallel();
    }

    static byte[] text(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    long open() {
        return open(printer.device());
    }

    long open(String path) {
        return openPort(path, "");
    }
}
