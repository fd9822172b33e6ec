import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxParallel;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxUSB;
import com.keldo.jpos.JNativePort.NativePort;
import java.util.List;
import java.util.function.Supplier;

/**
 * The four cables as the tests of ports of their own see them: which library, which virtual
 * printer, how a port class's instances are made and opened on it, how the printer is made slow,
 * and the ways it stops while claimed. A test written once against this runs on every cable.
 */
enum Connection {
    SERIAL("prn.lib.serial", JNativeCommonPort4LinuxSerial::new,
            JNativeCommonPort4LinuxSerial::newPort,
            List.of(Fault.period("cover open", "cover open", "cover close"),
                    Fault.period("paper end", "paper end", "paper ok"),
                    Fault.period("offline", "offline on", "offline off"))) {
        @Override
        VirtualPrinterProcess startPrinter() {
            return VirtualPrinterProcess.serial();
        }

        @Override
        String settings(VirtualPrinterProcess printer) {
            return "9600";
        }
    },
    NETWORK("prn.lib.net", JNativeCommonPort4LinuxEthernet::new,
            JNativeCommonPort4LinuxEthernet::newPort,
            List.of(Fault.moment("connection dropped", "tcp drop"),
                    Fault.period("stalled", "tcp stall on", "tcp stall off"),
                    Fault.period("cover open", "cover open", "cover close"))) {
        @Override
        VirtualPrinterProcess startPrinter() {
            return VirtualPrinterProcess.tcp("--net-model");
        }

        @Override
        String portName(VirtualPrinterProcess printer) {
            return "SOCKET:127.0.0.1";
        }

        @Override
        String settings(VirtualPrinterProcess printer) {
            return Integer.toString(printer.port());
        }

        @Override
        void slow(VirtualPrinterProcess printer, int bytesPerSecond) {
            printer.tcpMode("slow " + bytesPerSecond);
        }
    },
    USB("prn.lib.usb", JNativeCommonPort4LinuxUSB::new, JNativeCommonPort4LinuxUSB::newPort,
            List.of(Fault.period("unplugged", "unplug", "replug"),
                    Fault.period("paper end", "paper end", "paper ok"))) {
        @Override
        VirtualPrinterProcess startPrinter() {
            return VirtualPrinterProcess.usb();
        }
    },
    PARALLEL("prn.lib.parallel", JNativeCommonPort4LinuxParallel::new,
            JNativeCommonPort4LinuxParallel::newPort,
            List.of(Fault.period("switched off", "power off", "power on"),
                    Fault.period("cover open", "cover open", "cover close"))) {
        @Override
        VirtualPrinterProcess startPrinter() {
            return VirtualPrinterProcess.parallel();
        }
    };

    /**
     * A way the printer stops: the command that begins it and the one that ends it (none for a
     * moment such as a dropped connection).
     */
    record Fault(String name, String begin, String end) {
        static Fault period(String name, String begin, String end) {
            return new Fault(name, begin, end);
        }

        static Fault moment(String name, String command) {
            return new Fault(name, command, null);
        }

        void begin(VirtualPrinterProcess printer) {
            printer.ok(begin);
        }

        void end(VirtualPrinterProcess printer) {
            if (end != null) {
                printer.ok(end);
            }
        }

        @Override
        public String toString() {
            return name;
        }
    }

    private final String libraryProperty;
    private final Supplier<NativePort> shared;
    private final Supplier<NativePort> own;
    private final List<Fault> faults;

    Connection(String libraryProperty, Supplier<NativePort> shared, Supplier<NativePort> own,
            List<Fault> faults) {
        this.libraryProperty = libraryProperty;
        this.shared = shared;
        this.own = own;
        this.faults = faults;
    }

    /** Loads every library once; a second load of the same file is harmless. */
    static void loadAll() {
        for (Connection connection : values()) {
            NativeLibraries.load(connection.libraryProperty);
        }
    }

    abstract VirtualPrinterProcess startPrinter();

    /** An instance made with the public constructor: the library's shared port. */
    NativePort sharedPort() {
        return shared.get();
    }

    /** An instance made with the class's {@code newPort()}: a port of its own. */
    NativePort newPort() {
        return own.get();
    }

    String portName(VirtualPrinterProcess printer) {
        return printer.device();
    }

    String settings(VirtualPrinterProcess printer) {
        return "";
    }

    long open(NativePort port, VirtualPrinterProcess printer) {
        return port._openPort(portName(printer), settings(printer));
    }

    /** The printer takes about {@code bytesPerSecond} from the host from now on. */
    void slow(VirtualPrinterProcess printer, int bytesPerSecond) {
        printer.readRate(bytesPerSecond);
    }

    /** The ways this cable's printer stops while claimed. */
    List<Fault> faults() {
        return faults;
    }
}
