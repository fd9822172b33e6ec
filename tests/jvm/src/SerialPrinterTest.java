import static org.junit.jupiter.api.Assertions.assertEquals;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import org.junit.jupiter.api.BeforeAll;

/** libprnserial.so in this JVM and a fresh virtual serial printer for every test. */
abstract class SerialPrinterTest extends VirtualPrinterTest<JNativeCommonPort4LinuxSerial> {
    SerialPrinterTest() {
        super(new JNativeCommonPort4LinuxSerial());
    }

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.serial");
    }

    @Override
    VirtualPrinterProcess newPrinter() {
        return VirtualPrinterProcess.serial();
    }

    @Override
    String readySettings() {
        return "9600";
    }

    /** {@code _openPort} on the virtual printer; remembers to close it if it opened. */
    long open(String settings) {
        return openPort(printer.device(), settings);
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
}
