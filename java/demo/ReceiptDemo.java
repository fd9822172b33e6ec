import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import com.keldo.jpos.JNativePort.NativePort;
import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Base64;
import java.util.List;

/**
 * Prints a sample receipt through libprnserial.so and pulses the cash drawer, showing what each
 * native returns.
 *
 * <pre>
 * ReceiptDemo --lib LIBPRNSERIAL.so --sim PRNSIM        on a virtual printer started here
 * ReceiptDemo --lib LIBPRNSERIAL.so DEVICE [SETTINGS]   on a real printer, e.g. /dev/ttyUSB0 9600
 * </pre>
 *
 * With a virtual printer it finally shows what the printer received, as text and as hex.
 */
public final class ReceiptDemo {
    private ReceiptDemo() {}

    public static void main(String[] args) throws IOException {
        String library = null;
        String simulator = null;
        List<String> rest = new ArrayList<>();
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--lib" -> library = value(args, ++i);
                case "--sim" -> simulator = value(args, ++i);
                case "-h", "--help" -> usage(0);
                default -> rest.add(args[i]);
            }
        }
        if (library == null || rest.size() > 2 || (rest.isEmpty() && simulator == null)) {
            usage(2);
        }
        NativePort.load(Path.of(library).toAbsolutePath().toString());
        String settings = rest.size() == 2 ? rest.get(1) : "9600";

        if (!rest.isEmpty()) {
            System.exit(run(new JNativeCommonPort4LinuxSerial(), rest.get(0),
                    settings) == 0 ? 0 : 1);
        }
        try (VirtualPrinterLink printer = new VirtualPrinterLink(simulator)) {
            System.out.println("virtual printer on " + printer.device());
            long opened = run(new JNativeCommonPort4LinuxSerial(), printer.device(), settings);
            System.out.println();
            System.out.println("The printer received (text view):");
            System.out.println(new String(Base64.getDecoder().decode(printer.ask("text")),
                    java.nio.charset.StandardCharsets.UTF_8));
            System.out.println("As hex:");
            System.out.println(grouped(printer.ask("hex")));
            System.out.println("Drawer pulses: " + printer.ask("pulses"));
            if (opened != 0) {
                System.exit(1);
            }
        }
    }

    /** Open, print, pulse, close; returns the open result. */
    private static long run(NativePort port, String device, String settings) {
        long opened = port._openPort(device, settings);
        show("_openPort(\"" + device + "\", \"" + settings + "\")", opened, openMeaning(opened));
        if (opened != 0) {
            return opened;
        }
        show("_getPrinterStatus(1000)", port._getPrinterStatus(1000), "");

        byte[] receipt = Receipt.sample();
        int written = port._writeData(receipt, receipt.length, 5000);
        show("_writeData(receipt, " + receipt.length + ", 5000)", written,
                written == receipt.length ? "all bytes sent" : "");

        long start = System.nanoTime();
        int drawer = port._OpenDrawer(NativePort.DRAWER_PIN_2, 100, 200);
        show("_OpenDrawer(2, 100, 200)", drawer, "pulse sent, returned after "
                + (System.nanoTime() - start) / 1_000_000 + " ms");
        show("_getCashDrawerStatus(1000)", port._getCashDrawerStatus(1000), "");

        start = System.nanoTime();
        port._closePort();
        System.out.printf("%-45s returned after %d ms%n", "_closePort()",
                (System.nanoTime() - start) / 1_000_000);
        return opened;
    }

    private static String openMeaning(long result) {
        return switch ((int) result) {
            case 0 -> "open, printer ready";
            case 1 -> "cover open (port closed again)";
            case 2 -> "paper end (port closed again)";
            case -1 -> "cannot open, or the printer does not answer";
            case -2 -> "line cannot be configured";
            case -3 -> "settings rejected";
            default -> "";
        };
    }

    private static void show(String call, long result, String meaning) {
        System.out.printf("%-45s = %d%s%n", call, result, meaning.isEmpty() ? "" : "   " + meaning);
    }

    /** Hex in lines of 32 bytes, bytes separated by blanks. */
    private static String grouped(String hex) {
        StringBuilder out = new StringBuilder();
        String digits = hex.replaceAll("\\s+", "");
        for (int i = 0; i < digits.length(); i += 2) {
            out.append(digits, i, Math.min(i + 2, digits.length()));
            out.append((i / 2) % 32 == 31 ? '\n' : ' ');
        }
        return out.toString().stripTrailing();
    }

    private static String value(String[] args, int i) {
        if (i >= args.length) {
            usage(2);
        }
        return args[i];
    }

    private static void usage(int status) {
        System.err.println("usage: ReceiptDemo --lib LIBPRNSERIAL.so --sim PRNSIM");
        System.err.println("       ReceiptDemo --lib LIBPRNSERIAL.so DEVICE [SETTINGS]");
        System.err.println("SETTINGS: rate,parity,data,stop,flow or a bare rate (default 9600)");
        System.exit(status);
    }
}
