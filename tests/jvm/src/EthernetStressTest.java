import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import java.util.List;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * libprnnet.so under three Java threads calling every native at random for two minutes while
 * the network printer misbehaves now and then: it resets or closes the connection, goes silent
 * (answering nothing, or not even status), opens its cover or runs out of paper. What must hold
 * afterwards is in {@link PortStress}.
 */
class EthernetStressTest {
    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.net");
    }

    @Test
    void threeCallersAndAMisbehavingPrinter() {
        try (VirtualPrinterProcess printer = VirtualPrinterProcess.tcp("--net-model")) {
            PortStress.Line line = new PortStress.Line("ethernet", "SOCKET:127.0.0.1",
                    List.of(Integer.toString(printer.port())),
                    List.of(PortStress.Fault.moment("tcp reset", 2),
                            PortStress.Fault.moment("tcp drop", 2),
                            PortStress.Fault.period("silent on", "silent off", 1, 1000, 4000),
                            PortStress.Fault.period("tcp silent", "tcp normal", 1, 1000, 4000),
                            PortStress.Fault.period("cover open", "cover close", 2, 1000, 4000),
                            PortStress.Fault.period("paper end", "paper ok", 2, 1000, 4000)));
            PortStress.run(new JNativeCommonPort4LinuxEthernet(), printer, line);
        }
    }
}
