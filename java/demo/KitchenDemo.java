import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import com.keldo.jpos.JNativePort.NativePort;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Pattern;

/**
 * A restaurant's three printers in one JVM, each a port of its own: the till's receipt printer
 * on a serial line (libprnserial.so) and the grill's and the bar's kitchen printers on the
 * network (libprnnet.so), all three virtual printers started here. Orders go out one after
 * another; each prints a customer receipt at the till and tickets at the grill and the bar.
 * Before the third order the bar printer goes away (it closes its connection and refuses new
 * ones) and comes back a few seconds later: its tickets wait and print once it is back, while
 * the till and the grill go on as if nothing happened. The screen shows the three printers side
 * by side, each with its status and the text it printed, after each change.
 *
 * <pre>
 * KitchenDemo --serial-lib LIBPRNSERIAL.so --net-lib LIBPRNNET.so --sim PRNSIM [--trace FILE]
 * </pre>
 *
 * With --trace (the file PRN_TRACE names for this JVM) it ends with the library's own account of
 * the bar printer: its state lines. Exit status 0 when every job printed whole, the bar printer
 * came back and the other two stayed ready throughout; 1 otherwise, saying what went wrong.
 */
public final class KitchenDemo {
    private KitchenDemo() {}

    /** Width of one printer's column on the screen, and of the tickets and receipts. */
    private static final int WIDTH = 24;
    /** Lines of each printer's paper shown under its header. */
    private static final int PAPER_LINES = 15;
    private static final String GAP = " | ";
    /** The order before which the bar printer goes away. */
    private static final int OUTAGE_ORDER = 3;
    /** How long it stays away. */
    private static final long OUTAGE_MS = 3000;
    /** Between a failed write and the next try. */
    private static final long RETRY_MS = 400;
    /** How long a job may take, tries included, before the demo gives up on it. */
    private static final long JOB_DEADLINE_MS = 15000;

    private static final Pattern CUT = Pattern.compile("\\[GS V[^\\]]*\\]");
    private static final Pattern COMMAND_LABEL =
            Pattern.compile("\\[(?:DLE|ESC|FS|GS|HT|FF|CR|CAN|0x[0-9A-F]{2})[^\\]]*\\]");

    private static final boolean TERMINAL = System.console() != null;
    private static final long START = System.nanoTime();

    /** One job for one printer: its bytes and the lines it must print. */
    record Job(String name, byte[] bytes, List<String> lines, long sentAt, boolean whileAway) {}

    /** What one printer's worker made of one job: tries, time from sent to printed, whole. */
    record Done(String name, int tries, long totalMs, boolean whole, boolean whileAway) {}

    /** A printer: its port of its own, its virtual printer and the thread that prints its jobs. */
    static final class Station {
        final String tag;
        final String name;
        final String connection;
        final NativePort port;
        final VirtualPrinterLink printer;
        final LinkedBlockingQueue<Job> jobs = new LinkedBlockingQueue<>();
        final List<Job> sent = new ArrayList<>();
        final List<Done> done = new ArrayList<>();
        final AtomicInteger pending = new AtomicInteger();
        volatile int status = -1;
        volatile String lastCall = "";
        volatile String paper = "";
        /** Status samples taken while the port is open, and those that were not ready. */
        final AtomicInteger samples = new AtomicInteger();
        final AtomicInteger notReady = new AtomicInteger();
        /** Samples taken while the bar printer was away. */
        final AtomicInteger outageSamples = new AtomicInteger();
        volatile boolean refusedOnce;
        Thread worker;

        Station(String name, String connection, NativePort port, VirtualPrinterLink printer) {
            this.tag = name.substring(0, name.indexOf(' '));
            this.name = name;
            this.connection = connection;
            this.port = port;
            this.printer = printer;
        }

        synchronized List<Done> doneSoFar() {
            return List.copyOf(done);
        }
    }

    private static final List<String> events = new ArrayList<>();
    /** Counts every change the screen should show. */
    private static final AtomicInteger changes = new AtomicInteger();
    private static volatile boolean outage;
    private static volatile boolean stopping;

    public static void main(String[] args) throws InterruptedException {
        try {
            run(args);
        } catch (IOException | UnsatisfiedLinkError e) {
            System.out.println();
            System.out.println("kitchen demo FAILED: " + e.getMessage());
            System.exit(1);
        }
    }

    private static void run(String[] args) throws IOException, InterruptedException {
        String serialLib = null;
        String netLib = null;
        String simulator = null;
        String trace = null;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--serial-lib" -> serialLib = value(args, ++i);
                case "--net-lib" -> netLib = value(args, ++i);
                case "--sim" -> simulator = value(args, ++i);
                case "--trace" -> trace = value(args, ++i);
                default -> usage();
            }
        }
        if (serialLib == null || netLib == null || simulator == null) {
            usage();
        }
        NativePort.load(Path.of(serialLib).toAbsolutePath().toString());
        NativePort.load(Path.of(netLib).toAbsolutePath().toString());

        String failure;
        try (VirtualPrinterLink tillPrinter =
                        new VirtualPrinterLink(simulator, "serial", "--modem");
                VirtualPrinterLink grillPrinter =
                        new VirtualPrinterLink(simulator, "tcp", "--net-model");
                VirtualPrinterLink barPrinter =
                        new VirtualPrinterLink(simulator, "tcp", "--net-model")) {
            Station till = new Station("TILL receipts", "serial " + tillPrinter.device(),
                    JNativeCommonPort4LinuxSerial.newPort(), tillPrinter);
            Station grill = new Station("GRILL kitchen", "tcp 127.0.0.1:"
                    + grillPrinter.device(), JNativeCommonPort4LinuxEthernet.newPort(),
                    grillPrinter);
            Station bar = new Station("BAR kitchen", "tcp 127.0.0.1:" + barPrinter.device(),
                    JNativeCommonPort4LinuxEthernet.newPort(), barPrinter);
            List<Station> stations = List.of(till, grill, bar);
            failure = service(stations, till, grill, bar);
        }
        if (trace != null) {
            showTrace(Path.of(trace));
        }
        if (failure != null) {
            System.out.println();
            System.out.println("kitchen demo FAILED: " + failure);
            System.exit(1);
        }
        System.out.println();
        System.out.printf("kitchen demo: every job printed whole, the bar printer came back, and"
                + "%nthe till and the grill never noticed (%.1f s).%n",
                (System.nanoTime() - START) / 1e9);
    }

    /** Opens the three ports, sends the orders, closes them; returns what went wrong, or null. */
    private static String service(List<Station> stations, Station till, Station grill,
            Station bar) throws IOException, InterruptedException {
        long[] opened = {
            till.port._openPort(till.printer.device(), "9600"),
            grill.port._openPort("SOCKET:127.0.0.1", grill.printer.device()),
            bar.port._openPort("SOCKET:127.0.0.1", bar.printer.device())
        };
        for (int i = 0; i < stations.size(); i++) {
            Station s = stations.get(i);
            event(s.name + ": _openPort = " + opened[i]);
            if (opened[i] != 0) {
                closeAll(stations);
                return s.name + " did not open: _openPort returned " + opened[i];
            }
            long claimed = s.port._claim(1000, true);
            event(s.name + ": _claim(1000, true) = " + claimed);
            if (claimed != 0) {
                closeAll(stations);
                return s.name + " could not be claimed: _claim returned " + claimed;
            }
        }
        for (Station s : stations) {
            s.worker = new Thread(() -> work(s), "printer " + s.name);
            s.worker.start();
        }
        Thread sampler = new Thread(() -> sample(stations), "status sampler");
        sampler.setDaemon(true);
        sampler.start();

        String failure = null;
        long backAt = 0;
        boolean wentAway = false;
        String[][] orders = {
            {"Table 4", "2x Cheeseburger|1x Fries", "1x Lager|1x Lemonade"},
            {"Table 7", "1x Grilled salmon", "2x House red"},
            {"Table 2", "3x Chicken wings|1x Veggie burger", "1x Cola|2x IPA"},
            {"Table 9", "2x Ribeye steak", "1x Espresso martini"},
            {"Table 5", "1x Halloumi skewers", "2x Iced tea"},
            {"Table 1", "1x Kids burger|2x Fries", "1x Milkshake"},
        };
        for (int n = 0; n < orders.length; n++) {
            int number = 101 + n;
            if (n + 1 == OUTAGE_ORDER) {
                // The printer goes away: it refuses new connections and closes the open one.
                bar.printer.ask("tcp refuse");
                bar.printer.ask("tcp drop");
                outage = true;
                wentAway = true;
                backAt = System.nanoTime() + OUTAGE_MS * 1_000_000L;
                event(">>> BAR printer loses its link (for " + OUTAGE_MS / 1000 + " s)");
            }
            String[] o = orders[n];
            submit(till, receipt(number, o[0], o[1], o[2]));
            submit(grill, ticket(number, o[0], "GRILL", o[1]));
            submit(bar, ticket(number, o[0], "BAR", o[2]));
            event("order " + number + " (" + o[0] + ") sent to the three printers");
            // Pace the service: wait for the till's and the grill's jobs (they must not wait
            // for the bar), refreshing the screen meanwhile.
            long orderDeadline = System.nanoTime() + 10_000_000_000L;
            long nextOrder = System.nanoTime() + 700_000_000L;
            while ((till.pending.get() > 0 || grill.pending.get() > 0
                            || System.nanoTime() < nextOrder)
                    && System.nanoTime() < orderDeadline) {
                backAt = maybeBringBack(bar, backAt);
                refresh(stations);
                Thread.sleep(50);
            }
            if (till.pending.get() > 0 || grill.pending.get() > 0) {
                failure = "order " + number + " was not printed at the till and the grill within"
                        + " 10 s";
                break;
            }
        }
        // Every printer's queue empties (the bar's last, once it is back).
        long deadline = System.nanoTime() + 2 * JOB_DEADLINE_MS * 1_000_000L;
        while (failure == null && stations.stream().anyMatch(s -> s.pending.get() > 0)
                && System.nanoTime() < deadline) {
            backAt = maybeBringBack(bar, backAt);
            refresh(stations);
            Thread.sleep(50);
        }
        maybeBringBack(bar, backAt == 0 ? 0 : 1);
        for (Station s : stations) {
            if (failure == null && s.pending.get() > 0) {
                failure = s.name + " still has " + s.pending.get() + " job(s) unprinted";
            }
        }
        stopping = true;
        for (Station s : stations) {
            s.worker.interrupt();
            s.worker.join(20000);
        }
        for (Station s : stations) {
            s.paper = paper(s.printer);
        }
        changes.incrementAndGet();
        refresh(stations);
        closeAll(stations);
        summary(stations);
        if (failure != null) {
            return failure;
        }
        return verdict(stations, till, grill, bar, wentAway);
    }

    /** Brings the bar printer back once its time away is over; returns 0 once it is back. */
    private static long maybeBringBack(Station bar, long backAt) throws IOException {
        if (backAt != 0 && System.nanoTime() >= backAt) {
            bar.printer.ask("tcp accept");
            outage = false;
            event(">>> BAR printer is back (it accepts connections again)");
            return 0;
        }
        return backAt;
    }

    private static void submit(Station s, Job job) {
        s.pending.incrementAndGet();
        synchronized (s) {
            s.sent.add(job);
        }
        s.jobs.add(job);
    }

    /**
     * The printer's worker: each job is written, retried while the printer refuses it (the
     * library reports -2 and status 8 while it has no connection), then waited for.
     */
    private static void work(Station s) {
        while (!stopping || !s.jobs.isEmpty()) {
            Job job;
            try {
                job = s.jobs.poll(100, TimeUnit.MILLISECONDS);
            } catch (InterruptedException e) {
                if (s.jobs.isEmpty()) {
                    return;
                }
                continue;
            }
            if (job == null) {
                continue;
            }
            String who = String.format("%-5s %s", s.tag, job.name());
            long deadline = System.nanoTime() + JOB_DEADLINE_MS * 1_000_000L;
            int offset = 0;
            int tries = 0;
            while (offset < job.bytes().length && System.nanoTime() < deadline
                    && !Thread.currentThread().isInterrupted()) {
                byte[] rest = Arrays.copyOfRange(job.bytes(), offset, job.bytes().length);
                long t = System.nanoTime();
                int written = s.port._writeData(rest, rest.length, 5000);
                tries++;
                if (written > 0) {
                    offset += written;
                    s.lastCall = "_writeData = " + written + (tries > 1 ? " (try " + tries + ")"
                            : "");
                    if (tries > 1 || written < rest.length) {
                        event(who + " _writeData = " + written + " of "
                                + rest.length + " on try " + tries + " ("
                                + (System.nanoTime() - t) / 1_000_000 + " ms), status "
                                + s.port._getPrinterStatus(1000));
                    }
                    continue;
                }
                int status = s.port._getPrinterStatus(1000);
                s.lastCall = "_writeData = " + written + " (try " + tries + ")";
                if (tries == 1) {
                    s.refusedOnce = true;
                    event(who + " _writeData = " + written + ", status "
                            + status + " " + statusMeaning(status) + "; kept, retrying");
                }
                changes.incrementAndGet();
                try {
                    Thread.sleep(RETRY_MS);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
            boolean complete = offset == job.bytes().length
                    && s.port._WaitForCompletePrinting(10000);
            long totalMs = (System.nanoTime() - job.sentAt()) / 1_000_000;
            if (!complete) {
                event(who + " NOT printed whole (" + offset + " of "
                        + job.bytes().length + " bytes)");
            }
            synchronized (s) {
                s.done.add(new Done(job.name(), tries, totalMs, complete, job.whileAway()));
            }
            s.pending.decrementAndGet();
            changes.incrementAndGet();
        }
    }

    /** Every 100 ms, each printer's status, as a service's status poll would ask for it. */
    private static void sample(List<Station> stations) {
        while (!stopping) {
            boolean away = outage;
            for (Station s : stations) {
                int status = s.port._getPrinterStatus(1000);
                if (status != s.status) {
                    s.status = status;
                    changes.incrementAndGet();
                }
                s.samples.incrementAndGet();
                if (status != NativePort.STATUS_READY) {
                    s.notReady.incrementAndGet();
                }
                if (away) {
                    s.outageSamples.incrementAndGet();
                }
            }
            try {
                Thread.sleep(100);
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    private static int shown = -1;

    /** Draws the screen again when something changed since the last time. */
    private static void refresh(List<Station> stations) throws IOException {
        int now = changes.get();
        if (now == shown) {
            return;
        }
        shown = now;
        for (Station s : stations) {
            s.paper = paper(s.printer);
        }
        StringBuilder screen = new StringBuilder();
        if (TERMINAL) {
            screen.append("\033[H\033[2J");
        } else {
            screen.append('\n');
        }
        screen.append(String.format("Kitchen demo: three printers, one JVM   t = %.1f s%n",
                (System.nanoTime() - START) / 1e9));
        List<List<String>> columns = new ArrayList<>();
        for (Station s : stations) {
            columns.add(column(s));
        }
        int height = columns.stream().mapToInt(List::size).max().orElse(0);
        for (int row = 0; row < height; row++) {
            StringBuilder line = new StringBuilder();
            for (int c = 0; c < columns.size(); c++) {
                List<String> col = columns.get(c);
                String cell = row < col.size() ? col.get(row) : "";
                line.append(c == 0 ? "" : GAP).append(pad(cell));
            }
            screen.append(line.toString().stripTrailing()).append('\n');
        }
        screen.append("-".repeat(WIDTH * 3 + GAP.length() * 2)).append('\n');
        List<String> recent;
        synchronized (events) {
            recent = events.subList(Math.max(0, events.size() - 6), events.size());
            for (String e : recent) {
                screen.append(fit(e, WIDTH * 3 + GAP.length() * 2)).append('\n');
            }
        }
        System.out.print(screen);
        System.out.flush();
    }

    private static List<String> column(Station s) {
        List<String> col = new ArrayList<>();
        col.add(s.name);
        col.add(s.connection);
        int status = s.status;
        col.add("status " + (status < 0 ? "-" : status + " " + statusMeaning(status)));
        List<Done> done = s.doneSoFar();
        col.add("jobs " + done.size() + " printed" + (s.pending.get() > 0 ? ", " + s.pending.get()
                + " queued" : ""));
        col.add(done.isEmpty() ? "" : "last job " + done.get(done.size() - 1).totalMs() + " ms");
        col.add(s.lastCall);
        col.add("=".repeat(WIDTH));
        List<String> paper = List.of(s.paper.split("\n", -1));
        int from = Math.max(0, paper.size() - PAPER_LINES);
        for (int i = from; i < paper.size(); i++) {
            col.add(paper.get(i));
        }
        return col;
    }

    /** The printer's text view as paper: commands taken out, a cut shown as a line. */
    private static String paper(VirtualPrinterLink printer) throws IOException {
        String text = textView(printer);
        text = CUT.matcher(text).replaceAll("\n" + "~".repeat(WIDTH / 2 - 2) + " cut "
                + "~".repeat(WIDTH / 2 - 3) + "\n");
        text = COMMAND_LABEL.matcher(text).replaceAll("");
        String stripped = text.replaceAll("\n+$", "");
        return stripped.replaceAll("\n{2,}(~)", "\n$1");
    }

    private static String textView(VirtualPrinterLink printer) throws IOException {
        return new String(Base64.getDecoder().decode(printer.ask("text")),
                StandardCharsets.UTF_8);
    }

    private static void closeAll(List<Station> stations) {
        for (Station s : stations) {
            long start = System.nanoTime();
            s.port._closePort();
            event(s.name + ": _closePort() returned after "
                    + (System.nanoTime() - start) / 1_000_000 + " ms");
        }
    }

    /** Jobs, their timing and the status samples, per printer. */
    private static void summary(List<Station> stations) {
        System.out.println();
        System.out.println("Summary   jobs  whole  retried  status ready  sent to printed"
                + "  with the bar away");
        for (Station s : stations) {
            List<Done> done = s.doneSoFar();
            long whole = done.stream().filter(d -> d.whole()).count();
            long retried = done.stream().filter(d -> d.tries() > 1).count();
            System.out.printf("  %-7s %5d  %5d  %7d  %5d of %-4d  %-15s  %s%n", s.tag,
                    s.sent.size(), whole, retried, s.samples.get() - s.notReady.get(),
                    s.samples.get(), range(done, false), range(done, true));
        }
    }

    /** The shortest and longest time of the jobs sent while the bar was away, or not. */
    private static String range(List<Done> done, boolean whileAway) {
        long[] ms = done.stream().filter(d -> d.whileAway() == whileAway)
                .mapToLong(d -> d.totalMs()).sorted().toArray();
        if (ms.length == 0) {
            return "none";
        }
        return ms[0] == ms[ms.length - 1] ? ms[0] + " ms" : ms[0] + "-" + ms[ms.length - 1]
                + " ms";
    }

    /** What went wrong, or null: every job whole, the bar back, the others always ready. */
    private static String verdict(List<Station> stations, Station till, Station grill,
            Station bar, boolean wentAway) throws IOException {
        for (Station s : stations) {
            List<Job> sent;
            synchronized (s) {
                sent = List.copyOf(s.sent);
            }
            String text = textView(s.printer);
            for (Done d : s.doneSoFar()) {
                if (!d.whole()) {
                    return s.name + ": " + d.name() + " was not printed whole";
                }
            }
            List<String> expected = new ArrayList<>();
            for (Job j : sent) {
                expected.addAll(j.lines());
            }
            List<String> missing = ReceiptDemo.missingLines(text, expected);
            if (!missing.isEmpty()) {
                return s.name + ": lines sent but not printed: " + missing;
            }
            if (s.doneSoFar().size() != sent.size()) {
                return s.name + ": " + sent.size() + " jobs sent, " + s.doneSoFar().size()
                        + " done";
            }
        }
        for (Station s : List.of(till, grill)) {
            if (s.notReady.get() > 0) {
                return s.name + " reported a status other than ready in " + s.notReady.get()
                        + " samples while another printer was away";
            }
            if (s.doneSoFar().stream().anyMatch(d -> d.tries() > 1)) {
                return s.name + " had a job refused while another printer was away";
            }
        }
        if (wentAway && !bar.refusedOnce && bar.notReady.get() == 0) {
            return "the bar printer went away, yet neither its writes nor its status showed it";
        }
        if (till.outageSamples.get() == 0) {
            return "no status was sampled while the bar printer was away";
        }
        return null;
    }

    /** The library's state lines for the bar printer (the second network port). */
    private static void showTrace(Path trace) {
        List<String> lines;
        try {
            lines = Files.readAllLines(trace, StandardCharsets.UTF_8);
        } catch (IOException e) {
            System.out.println("(no trace: " + e.getMessage() + ")");
            return;
        }
        // The ports are numbered by the library from its open: the bar's is the network
        // library's second port opened in this JVM.
        List<String> ports = new ArrayList<>();
        for (String line : lines) {
            String[] f = line.split(" ");
            if (f.length > 4 && f[1].startsWith("ethernet#") && f[4].equals("open")
                    && !ports.contains(f[1])) {
                ports.add(f[1]);
            }
        }
        if (ports.size() < 2) {
            System.out.println("(the trace names no second network port)");
            return;
        }
        String barPort = ports.get(1);
        System.out.println();
        System.out.println("The library's trace of the bar printer (" + barPort + "), but for"
                + " its bytes:");
        String previous = null;
        int repeats = 0;
        for (String line : lines) {
            String[] f = line.split(" ", 5);
            if (f.length < 5 || !f[1].equals(barPort) || f[4].startsWith("in ")
                    || f[4].startsWith("out ")) {
                continue;
            }
            String shown = "  " + f[1] + " " + f[2] + " " + f[4];
            if (shown.equals(previous)) {
                repeats++;
                continue;
            }
            if (repeats > 0) {
                System.out.println("    (and " + repeats + " more times)");
            }
            System.out.println(shown);
            previous = shown;
            repeats = 0;
        }
        if (repeats > 0) {
            System.out.println("    (and " + repeats + " more times)");
        }
    }

    // --- the orders ---

    private static Job receipt(int number, String table, String grill, String bar) {
        Receipt r = new Receipt(WIDTH).initialize();
        r.align(1).bold(true).line("THE CORNER GRILL").bold(false);
        r.line("Order " + number + "  " + table).align(0).rule();
        long total = 0;
        for (String item : (grill + "|" + bar).split("\\|")) {
            long cents = price(item);
            r.item(item, cents);
            total += cents;
        }
        r.rule().bold(true).item("TOTAL", total).bold(false);
        r.feedAndCut();
        return new Job("receipt " + number, r.toBytes(), r.lines(), System.nanoTime(), outage);
    }

    private static Job ticket(int number, String table, String station, String items) {
        Receipt r = new Receipt(WIDTH).initialize();
        r.bold(true).line(station + "  #" + number + "  " + table).bold(false);
        for (String item : items.split("\\|")) {
            r.line(item);
        }
        r.feedAndCut();
        return new Job("ticket " + number, r.toBytes(), r.lines(), System.nanoTime(), outage);
    }

    /** A made-up price from the item's text: quantity times 3.50 to 12.50. */
    private static long price(String item) {
        int quantity = item.charAt(0) - '0';
        return quantity * (350 + Math.floorMod(item.hashCode(), 10) * 100L);
    }

    // --- helpers ---

    private static void event(String text) {
        synchronized (events) {
            events.add(String.format("%5.1f s  %s", (System.nanoTime() - START) / 1e9, text));
        }
        changes.incrementAndGet();
    }

    private static String pad(String text) {
        String t = fit(text, WIDTH);
        return t + " ".repeat(WIDTH - t.length());
    }

    private static String fit(String text, int width) {
        return text.length() <= width ? text : text.substring(0, width);
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

    private static String value(String[] args, int i) {
        if (i >= args.length) {
            usage();
        }
        return args[i];
    }

    private static void usage() {
        System.err.println("usage: KitchenDemo --serial-lib LIBPRNSERIAL.so --net-lib LIBPRNNET.so"
                + " --sim PRNSIM [--trace FILE]");
        System.exit(2);
    }
}
