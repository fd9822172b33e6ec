import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * libprnserial.so under three Java threads calling every native at random for two minutes while
 * the serial printer misbehaves now and then: it goes silent, drops DSR for a few seconds, opens
 * its cover, runs out of paper, or has its cable pulled and plugged back in. The printer is
 * opened through a stable link that survives the replug, as a udev name would. What must hold
 * afterwards is in {@link PortStress}.
 */
class SerialStressTest {
    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.serial");
    }

    @Test
    void threeCallersAndAMisbehavingPrinter() throws IOException {
        Path folder = Files.createTempDirectory("prn-stress-");
        Path link = folder.resolve("printer");
        try (VirtualPrinterProcess printer =
                VirtualPrinterProcess.serial("--modem", "--link", link.toString())) {
            PortStress.Line line = new PortStress.Line("serial", printer.device(),
                    // A bare rate brings the DTR/DSR handshake; the last one writes without it.
                    List.of("9600", "9600", "38400", "115200,none,8,1,hdwr",
                            "19200,none,8,1,none"),
                    List.of(PortStress.Fault.period("silent on", "silent off", 2, 1000, 4000),
                            PortStress.Fault.period("dsr off", "dsr on", 2, 1000, 4000),
                            PortStress.Fault.period("cover open", "cover close", 2, 1000, 4000),
                            PortStress.Fault.period("paper end", "paper ok", 2, 1000, 4000),
                            PortStress.Fault.period("unplug", "replug", 2, 1000, 3000)));
            PortStress.run(new JNativeCommonPort4LinuxSerial(), printer, line);
        } finally {
            Files.deleteIfExists(link);
            Files.deleteIfExists(folder);
        }
    }
}
