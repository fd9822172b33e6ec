import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxParallel;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxUSB;
import com.keldo.jpos.JNativePort.NativePort;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Base64;
import java.util.HexFormat;
import java.util.List;
import java.util.regex.Pattern;

/**
 * Prints a sample receipt through libprnserial.so (or libprnnet.so, libprnusb.so,
 * libprnparallel.so) and pulses the cash drawer, showing what each native returns.
 *
 * <pre>
 * ReceiptDemo --lib LIBPRNSERIAL.so --sim PRNSIM        on a virtual serial printer started here
 * ReceiptDemo --lib LIBPRNNET.so --net --sim PRNSIM    on a virtual network printer
 * ReceiptDemo --lib LIBPRNUSB.so --usb --sim PRNSIM    on a virtual USB printer
 * ReceiptDemo --lib LIBPRNPARALLEL.so --parallel --sim PRNSIM   on a virtual parallel printer
 * ReceiptDemo --lib LIBPRNSERIAL.so DEVICE [SETTINGS]   on a real printer, e.g. /dev/ttyUSB0 9600
 * ReceiptDemo --lib LIBPRNNET.so --net SOCKET:ADDRESS PORT
 * ReceiptDemo --lib LIBPRNUSB.so --usb DEVICE          e.g. /dev/usb/lp0
 * ReceiptDemo --lib LIBPRNPARALLEL.so --parallel DEVICE   e.g. /dev/parport0
 * </pre>
 *
 * With a virtual printer it also claims the printer and shows the live status: it opens and
 * closes the cover (serial, network), pulls the USB cable and plugs it back in (the next line
 * goes to the new node), or switches the parallel printer off and on again (its port is served
 * by the modem shim preloaded into this JVM, see receipt-demo.sh). Then it waits for the printing
 * to complete, and finally shows what the printer received, as text and as hex, and checks that
 * every line sent was printed.
 */
public final class ReceiptDemo {
    private ReceiptDemo() {}

    /** The line printed once the cover is closed again. */
    private static final String COVER_TEST_LINE = "Cover test line";
    /** The line printed once the USB printer is plugged in again. */
    private static final String REPLUG_TEST_LINE = "Replug test line";
    /** The line printed once the parallel printer is switched on again. */
    private static final String POWER_TEST_LINE = "Power test line";
    /** How the printer's text view shows a command or a byte that is not text: "[GS ! 17]". */
    private static final Pattern COMMAND_LABEL =
            Pattern.compile("\\[(?:DLE|ESC|FS|GS|HT|FF|CR|CAN|0x[0-9A-F]{2})[^\\]]*\\]");

    public static void main(String[] args) throws IOException {
        String library = null;
        String simulator = null;
        boolean network = false;
        boolean usb = false;
        boolean parallel = false;
        List<String> rest = new ArrayList<>();
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--lib" -> library = value(args, ++i);
                case "--sim" -> simulator = value(args, ++i);
                case "--net" -> network = true;
                case "--usb" -> usb = true;
                case "--parallel" -> parallel = true;
                case "-h", "--help" -> usage(0);
                default -> rest.add(args[i]);
            }
        }
        int kinds = (network ? 1 : 0) + (usb ? 1 : 0) + (parallel ? 1 : 0);
        if (library == null || rest.size() > (usb || parallel ? 1 : 2) || kinds > 1
                || (rest.isEmpty() && simulator == null)) {
            usage(2);
        }
        NativePort.load(Path.of(library).toAbsolutePath().toString());
        NativePort port = network  ? new JNativeCommonPort4LinuxEthernet()
                        : usb      ? new JNativeCommonPort4LinuxUSB()
                        : parallel ? new JNativeCommonPort4LinuxParallel()
                                   : new JNativeCommonPort4LinuxSerial();
        String kind = network ? "tcp" : usb ? "usb" : parallel ? "parallel" : "serial";

        if (!rest.isEmpty()) {
            // A USB printer node or a parallel port has no line settings: the library ignores
            // the text.
            String settings = usb || parallel ? "" : rest.size() == 2 ? rest.get(1) : "9600";
            System.exit(run(port, rest.get(0), settings, null, kind) == 0 ? 0 : 1);
        }
        try (VirtualPrinterLink printer = network
                ? new VirtualPrinterLink(simulator, "tcp", "--net-model")
                : usb || parallel ? new VirtualPrinterLink(simulator, kind)
                      : new VirtualPrinterLink(simulator, "serial", "--modem")) {
            String device = network ? "SOCKET:127.0.0.1" : printer.device();
            String settings = network ? printer.device() : usb || parallel ? "" : "9600";
            System.out.println("virtual printer on " + (network ? "127.0.0.1 port " : "")
                    + printer.device() + (usb ? " (a pty standing in for /dev/usb/lp0)"
                            : parallel ? " (a pty standing in for /dev/parport0)" : ""));
            long opened = run(port, device, settings, printer, kind);
            System.out.println();
            String text = new String(Base64.getDecoder().decode(printer.ask("text")),
                    StandardCharsets.UTF_8);
            System.out.println("The printer received (text view: what it printed, with its"
                    + " commands in brackets):");
            // Framed, so that no line of the receipt starts like a line of build output.
            for (String line : text.split("\n", -1)) {
                System.out.println("  | " + line);
            }
            System.out.println("As hex:");
            System.out.println(grouped(printer.ask("hex")));
            System.out.println("Drawer pulses: " + printer.ask("pulses"));
            List<String> expected = new ArrayList<>(Receipt.sample().lines());
            expected.add(usb ? REPLUG_TEST_LINE : parallel ? POWER_TEST_LINE : COVER_TEST_LINE);
            List<String> missing = missingLines(text, expected);
            if (missing.isEmpty()) {
                System.out.println("Every one of the " + expected.size()
                        + " lines sent is in the text view.");
            } else {
                System.out.println("Lines sent but missing from the printer's text view: "
                        + missing);
            }
            if (opened != 0 || !missing.isEmpty()) {
                System.exit(1);
            }
        }
    }

    /**
     * Open, print, pulse, close; returns the open result. With a virtual printer to steer, the
     * printer is claimed in between and its cover opened and closed, its cable (USB) pulled and
     * plugged in again, or (parallel) the printer switched off and on. {@code kind} is the
     * virtual printer's: serial, tcp, usb or parallel.
     */
    private static long run(NativePort port, String device, String settings,
            VirtualPrinterLink printer, String kind) throws IOException {
        long opened = port._openPort(device, settings);
        show("_openPort(\"" + device + "\", \"" + settings + "\")", opened, openMeaning(opened));
        if (opened != 0) {
            return opened;
        }
        show("_getPrinterStatus(1000)", port._getPrinterStatus(1000), "");

        byte[] receipt = Receipt.sample().toBytes();
        int written = port._writeData(receipt, receipt.length, 5000);
        show("_writeData(receipt, " + receipt.length + ", 5000)", written,
                written == receipt.length ? "all bytes sent" : "");

        if (printer != null && kind.equals("usb")) {
            unplugAndReplug(port, printer);
        } else if (printer != null && kind.equals("parallel")) {
            switchOffAndOn(port, printer);
        } else if (printer != null) {
            liveStatus(port, printer);
        }

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

    /** Claims the printer and shows the status following its cover. */
    private static void liveStatus(NativePort port, VirtualPrinterLink printer)
            throws IOException {
        show("_claim(1000, true)", port._claim(1000, true), "claimed, thermal: status is live");
        awaitStatus(port, 0);
        printer.ask("cover open");
        System.out.println("  (the printer's cover is opened)");
        awaitStatus(port, 1);
        byte[] line = (COVER_TEST_LINE + "\n").getBytes(StandardCharsets.US_ASCII);
        int refused = port._writeData(line, line.length, 5000);
        show("_writeData(line, " + line.length + ", 5000)", refused,
                refused == -2 ? "refused while the cover is open" : "");
        printer.ask("cover close");
        System.out.println("  (the printer's cover is closed)");
        awaitStatus(port, 0);
        int written = awaitWrite(port, line);
        show("_writeData(line, " + line.length + ", 5000)", written,
                written == line.length ? "printed" : "");
        awaitCompletion(port);
    }

    /**
     * Claims the USB printer, pulls its cable (the node vanishes: offline, writes refused) and
     * plugs it back in: the monitor opens the node again and the next line goes to the new one.
     */
    private static void unplugAndReplug(NativePort port, VirtualPrinterLink printer)
            throws IOException {
        show("_claim(1000, true)", port._claim(1000, true), "claimed, thermal: status is live");
        awaitStatus(port, 0);
        printer.ask("unplug");
        System.out.println("  (the printer's USB cable is pulled: its node is gone)");
        awaitStatus(port, 8);
        byte[] line = (REPLUG_TEST_LINE + "\n").getBytes(StandardCharsets.US_ASCII);
        int refused = port._writeData(line, line.length, 5000);
        show("_writeData(line, " + line.length + ", 5000)", refused,
                refused == -2 ? "refused while unplugged" : "");
        printer.ask("replug");
        System.out.println("  (the cable is plugged in again: a new node behind the same path)");
        awaitStatus(port, 0);
        int written = awaitWrite(port, line);
        show("_writeData(line, " + line.length + ", 5000)", written,
                written == line.length ? "printed" : "");
        awaitCompletion(port);
        // The printer counts its ptys from 0: the first is the node before the unplug.
        boolean onNewNode = printer.ask("hex-on 1").contains(HexFormat.of().formatHex(line));
        System.out.println("  (the printer received the line on its new node: "
                + (onNewNode ? "yes" : "no") + ")");
    }

    /**
     * Claims the parallel printer and switches it off (it no longer answers on the reverse
     * channel: offline, writes refused) and on again: the monitor asks it for its status again
     * and the next line is printed.
     */
    private static void switchOffAndOn(NativePort port, VirtualPrinterLink printer)
            throws IOException {
        show("_claim(1000, true)", port._claim(1000, true), "claimed, thermal: status is live");
        awaitStatus(port, 0);
        printer.ask("power off");
        System.out.println("  (the printer is switched off)");
        awaitStatus(port, 8);
        byte[] line = (POWER_TEST_LINE + "\n").getBytes(StandardCharsets.US_ASCII);
        int refused = port._writeData(line, line.length, 5000);
        show("_writeData(line, " + line.length + ", 5000)", refused,
                refused == -2 ? "refused while the printer is off" : "");
        printer.ask("power on");
        System.out.println("  (the printer is switched on again)");
        awaitStatus(port, 0);
        int written = awaitWrite(port, line);
        show("_writeData(line, " + line.length + ", 5000)", written,
                written == line.length ? "printed" : "");
        awaitCompletion(port);
    }

    private static void awaitCompletion(NativePort port) {
        long start = System.nanoTime();
        boolean done = port._WaitForCompletePrinting(10000);
        System.out.printf("%-45s = %b   after %d ms%n", "_WaitForCompletePrinting(10000)", done,
                (System.nanoTime() - start) / 1_000_000);
    }

    /** Polls _getPrinterStatus until it reports the wanted code or 5 s have passed. */
    private static void awaitStatus(NativePort port, int wanted) {
        long deadline = System.nanoTime() + 5_000_000_000L;
        int status = port._getPrinterStatus(1000);
        while (status != wanted && System.nanoTime() < deadline) {
            pause();
            status = port._getPrinterStatus(1000);
        }
        show("_getPrinterStatus(1000)", status, statusMeaning(status));
    }

    /** The write after the cover closed: retried until the monitor has seen the printer ready. */
    private static int awaitWrite(NativePort port, byte[] line) {
        long deadline = System.nanoTime() + 5_000_000_000L;
        int written = port._writeData(line, line.length, 5000);
        while (written == -2 && System.nanoTime() < deadline) {
            pause();
            written = port._writeData(line, line.length, 5000);
        }
        return written;
    }

    private static void pause() {
        try {
            Thread.sleep(50);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private static String statusMeaning(int status) {
        return switch (status) {
            case 0 -> "ready";
            case 1 -> "cover open";
            case 2 -> "paper end";
            case 8 -> "offline";
            case 16 -> "paper near end";
            default -> "";
        };
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

    /**
     * The lines of {@code expected} that the text view does not show in that order, once the
     * command labels are taken out of it.
     */
    static List<String> missingLines(String textView, List<String> expected) {
        String[] printed = COMMAND_LABEL.matcher(textView).replaceAll("").split("\n", -1);
        List<String> missing = new ArrayList<>();
        int next = 0;
        for (String line : expected) {
            int at = next;
            while (at < printed.length && !printed[at].equals(line)) {
                at++;
            }
            if (at == printed.length) {
                missing.add(line);
            } else {
                next = at + 1;
            }
        }
        return missing;
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
        System.err.println("       ReceiptDemo --lib LIBPRNNET.so --net --sim PRNSIM");
        System.err.println("       ReceiptDemo --lib LIBPRNUSB.so --usb --sim PRNSIM");
        System.err.println("       ReceiptDemo --lib LIBPRNPARALLEL.so --parallel --sim PRNSIM");
        System.err.println("       ReceiptDemo --lib LIBPRNSERIAL.so DEVICE [SETTINGS]");
        System.err.println("       ReceiptDemo --lib LIBPRNNET.so --net SOCKET:ADDRESS PORT");
        System.err.println("       ReceiptDemo --lib LIBPRNUSB.so --usb DEVICE (/dev/usb/lp0)");
        System.err.println("       ReceiptDemo --lib LIBPRNPARALLEL.so --parallel DEVICE"
                + " (/dev/parport0)");
        System.err.println("SETTINGS: rate,parity,data,stop,flow or a bare rate (default 9600)");
        System.exit(status);
    }
}
