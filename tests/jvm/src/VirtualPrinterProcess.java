import java.io.BufferedReader;
import java.io.BufferedWriter;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Base64;
import java.util.HexFormat;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * The virtual printer command ({@code prnsim}) as a child process, driven line by line.
 *
 * <p>On start the command prints one line, {@code device <path>} for a serial, USB or parallel
 * printer or {@code port <n>} for a network printer, then answers every command line on its
 * standard input with exactly one line beginning {@code ok} or {@code error}. Its standard error
 * is passed through, so whatever it logs ends up next to the test output.
 *
 * <p>Every answer is awaited with a deadline: a printer process that hangs or dies fails the test
 * with a message instead of hanging it.
 */
final class VirtualPrinterProcess implements AutoCloseable {
    /** Longest wait for the first line and for an answer to a command that does not wait itself. */
    static final Duration ANSWER_DEADLINE = Duration.ofSeconds(10);

    private static final String END_OF_OUTPUT = "\u0000end of output";
    private static final HexFormat HEX = HexFormat.of();

    private final Process process;
    private final BufferedWriter commands;
    private final BlockingQueue<String> lines = new LinkedBlockingQueue<>();
    private final String device;
    private final int port;

    /** Thrown when the printer answers {@code error}, answers late, or is gone. */
    static final class PrinterCommandException extends RuntimeException {
        private static final long serialVersionUID = 1L;

        PrinterCommandException(String message) {
            super(message);
        }
    }

    /** A serial printer on a fresh pty; {@code options} e.g. "--modem", "--link", path. */
    static VirtualPrinterProcess serial(String... options) {
        return start("serial", options);
    }

    /**
     * A USB printer node's stand-in: a pty without line discipline behind a link, lp0 in a fresh
     * folder removed when the printer ends (or "--link", path), re-pointed on replug.
     */
    static VirtualPrinterProcess usb(String... options) {
        return start("usb", options);
    }

    /**
     * A parallel port's stand-in: a pty behind a link, parport0 in a fresh folder (or "--link",
     * path), whose ppdev requests the modem shim preloaded into this JVM answers from the file
     * the printer publishes its port in ($PRNSIM_MODEM_FILE, or "--modem-file", path).
     */
    static VirtualPrinterProcess parallel(String... options) {
        return start("parallel", options);
    }

    /** A network printer on a loopback port; {@code options} e.g. "--net-model". */
    static VirtualPrinterProcess tcp(String... options) {
        return start("tcp", options);
    }

    /** The command as the build passes it in the system property prn.sim. */
    static Path command() {
        String path = System.getProperty("prn.sim");
        if (path == null || path.isEmpty()) {
            throw new IllegalStateException(
                    "system property prn.sim (the virtual printer command) is not set");
        }
        return Path.of(path);
    }

    private static VirtualPrinterProcess start(String kind, String... options) {
        List<String> argv = new ArrayList<>();
        argv.add(command().toString());
        argv.add(kind);
        argv.addAll(List.of(options));
        try {
            ProcessBuilder builder = new ProcessBuilder(argv);
            builder.redirectError(ProcessBuilder.Redirect.INHERIT);
            return new VirtualPrinterProcess(builder.start());
        } catch (IOException e) {
            throw new UncheckedIOException("cannot start " + argv, e);
        }
    }

    private VirtualPrinterProcess(Process process) {
        this.process = process;
        this.commands = new BufferedWriter(new OutputStreamWriter(process.getOutputStream(),
                StandardCharsets.UTF_8));
        Thread reader = new Thread(this::readAnswers, "prnsim-" + process.pid());
        reader.setDaemon(true);
        reader.start();

        String first = nextLine("its first line");
        String[] words = first.split(" ", 2);
        if (words.length == 2 && words[0].equals("device")) {
            device = words[1];
            port = -1;
        } else if (words.length == 2 && words[0].equals("port")) {
            device = null;
            port = Integer.parseInt(words[1].trim());
        } else {
            process.destroyForcibly();
            throw new PrinterCommandException("virtual printer started with '" + first + "'");
        }
    }

    private void readAnswers() {
        try (BufferedReader in = new BufferedReader(new InputStreamReader(process.getInputStream(),
                StandardCharsets.UTF_8))) {
            for (String line; (line = in.readLine()) != null; ) {
                lines.add(line);
            }
        } catch (IOException e) {
            // The process is gone; the waiting caller learns it from END_OF_OUTPUT.
        } finally {
            lines.add(END_OF_OUTPUT);
        }
    }

    private String nextLine(String what) {
        return nextLine(what, ANSWER_DEADLINE);
    }

    private String nextLine(String what, Duration deadline) {
        String line;
        try {
            line = lines.poll(deadline.toMillis(), TimeUnit.MILLISECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new PrinterCommandException("interrupted waiting for " + what);
        }
        if (line == null) {
            throw new PrinterCommandException("virtual printer gave no answer to " + what
                    + " within " + deadline.toMillis() + " ms");
        }
        if (line.equals(END_OF_OUTPUT)) {
            lines.add(END_OF_OUTPUT);
            throw new PrinterCommandException("virtual printer ended (" + exitText()
                    + ") before answering " + what);
        }
        return line;
    }

    private String exitText() {
        try {
            boolean ended = process.waitFor(1, TimeUnit.SECONDS);
            return ended ? "exit status " + process.exitValue() : "still running";
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return "unknown";
        }
    }

    /** The path a serial, USB or parallel printer listens on: the pty, or the link to it. */
    String device() {
        if (device == null) {
            throw new IllegalStateException("not a serial, USB or parallel printer");
        }
        return device;
    }

    /** The loopback TCP port a network printer listens on. */
    int port() {
        if (port < 0) {
            throw new IllegalStateException("not a network printer");
        }
        return port;
    }

    /** Sends one command line and returns the whole answer line, ok or error. */
    synchronized String answer(String line, Duration deadline) {
        try {
            commands.write(line);
            commands.newLine();
            commands.flush();
        } catch (IOException e) {
            throw new PrinterCommandException("cannot send '" + line + "' (" + exitText() + ")");
        }
        return nextLine("'" + abbreviate(line) + "'", deadline);
    }

    /** Sends a command that must succeed; returns what follows "ok" (without the blank). */
    String ok(String line) {
        return ok(line, ANSWER_DEADLINE);
    }

    private String ok(String line, Duration deadline) {
        String reply = answer(line, deadline);
        if (reply.equals("ok")) {
            return "";
        }
        if (reply.startsWith("ok ")) {
            return reply.substring(3);
        }
        throw new PrinterCommandException("'" + abbreviate(line) + "' answered '"
                + abbreviate(reply) + "'");
    }

    private static String abbreviate(String s) {
        return s.length() <= 120 ? s : s.substring(0, 117) + "...";
    }

    // --- printer state ---

    void coverOpen(boolean open) {
        ok("cover " + (open ? "open" : "close"));
    }

    /** "ok", "near" or "end". */
    void paper(String state) {
        ok("paper " + state);
    }

    void offline(boolean on) {
        ok("offline " + onOff(on));
    }

    void drawerOpen(boolean open) {
        ok("drawer " + (open ? "open" : "close"));
    }

    /** The data-set-ready line as the library's modem-line shim reports it. */
    void dsr(boolean on) {
        ok("dsr " + onOff(on));
    }

    /** A silent printer answers nothing at all. */
    void silent(boolean on) {
        ok("silent " + onOff(on));
    }

    /** The exact reply to DLE EOT 2; no bytes means no reply at all. */
    void reply2(byte... reply) {
        ok("reply2 " + (reply.length == 0 ? "none" : hex(reply)));
    }

    /** The exact reply to DLE EOT 4; no bytes means no reply at all. */
    void reply4(byte... reply) {
        ok("reply4 " + (reply.length == 0 ? "none" : hex(reply)));
    }

    /** Bytes per second the print engine prints; 0 prints at once. */
    void printSpeed(int bytesPerSecond) {
        ok("speed " + bytesPerSecond);
    }

    /**
     * Network printer behaviour: refuse, accept, close-on-accept, silent, drop, reset,
     * drop-after N, reset-after N, drop-each-after N C, slow N, stall on|off, stall-for MS,
     * normal.
     */
    void tcpMode(String mode) {
        ok("tcp " + mode);
    }

    /**
     * A network printer that keeps the connection but reads nothing: its receive window fills and
     * the host's sends block. Stalled before the host connects, the window closes after a few
     * KiB; un-stalled, everything sent arrives in order.
     */
    void tcpStall(boolean stalled) {
        ok("tcp stall " + onOff(stalled));
    }

    /** Stalls now and resumes by itself after {@code millis} milliseconds. */
    void tcpStallFor(long millis) {
        ok("tcp stall-for " + millis);
    }

    /**
     * Closes each of the next {@code connections} connections (the open one first, counting from
     * now) once it has received {@code bytes} bytes; 0 bytes closes at accept, before anything is
     * read; 0 connections cancels.
     */
    void tcpDropEachAfter(long bytes, int connections) {
        ok("tcp drop-each-after " + bytes + " " + connections);
    }

    /** Resets the connection (the printer restarts) after {@code bytes} more bytes. */
    void tcpResetAfter(long bytes) {
        ok("tcp reset-after " + bytes);
    }

    /**
     * A serial line that stops taking data: the printer reads nothing more and, through the modem
     * shim (the printer started with --modem), TIOCOUTQ reports {@code bytes} and tcdrain waits.
     * 0 lets the line flow again.
     */
    void outputStuck(int bytes) {
        ok("outq " + bytes);
    }

    /**
     * A busy printer (it cuts, feeds, prints a logo) reads nothing: the pty fills and the host's
     * non-blocking writes fail with EAGAIN. Off, it reads everything the pty holds, in order. A
     * parallel printer also sets its busy line.
     */
    void busy(boolean on) {
        ok("busy " + onOff(on));
    }

    /** Busy now, and again reading by itself after {@code millis} milliseconds. */
    void busyFor(long millis) {
        ok("busy-for " + millis);
    }

    /** Bytes per second the printer reads from its pty (a slow printer); 0 reads at once. */
    void readRate(int bytesPerSecond) {
        ok("read-rate " + bytesPerSecond);
    }

    /** Reads {@code bytes} more bytes, then is busy for {@code millis} milliseconds; once. */
    void busyAfter(long bytes, long millis) {
        ok("busy-after " + bytes + " " + millis);
    }

    /**
     * A parallel printer switched off: its status lines show neither no-fault nor not-busy, it
     * refuses nibble mode and answers nothing.
     */
    void power(boolean on) {
        ok("power " + onOff(on));
    }

    /** A parallel printer's reverse channel (nibble mode); off, it can be written to only. */
    void reverse(boolean on) {
        ok("reverse " + onOff(on));
    }

    /** Another user holds the parallel port: a claim of it fails. */
    void held(boolean on) {
        ok("held " + onOff(on));
    }

    /**
     * The byte the parallel port's status lines read as (PPRSTATUS): 0x08 set is no fault, 0x80
     * set is not busy; a ready printer shows 0xDF.
     */
    void statusLines(int lines) {
        ok("status-lines " + hex((byte) lines));
    }

    /**
     * Connections a network printer has accepted since start; for a serial or USB printer, the
     * ptys it has made (one more on each replug).
     */
    int connections() {
        return Integer.parseInt(ok("connections").trim());
    }

    /** True once a network printer has accepted {@code count} connections in all. */
    boolean waitConnections(int count, Duration timeout) {
        return waitAnswer("wait-connections " + count + " " + timeout.toMillis(), timeout);
    }

    /** Sends bytes to the host as they are. */
    void send(byte... bytes) {
        ok("send " + hex(bytes));
    }

    /** A recoverable printer error (shown in DLE EOT 2 and the status block). */
    void error(boolean on) {
        ok("error " + onOff(on));
    }

    /**
     * Pulls the cable: the pty goes away (with the link, if any), reads on it end and writes
     * fail.
     */
    void unplug() {
        ok("unplug");
    }

    /** Plugs it back in; returns the device path, which may differ unless started with --link. */
    String replug() {
        return ok("replug");
    }

    // --- the record of what the host sent ---

    /** Everything received since start or the last {@link #clear()}. */
    byte[] received() {
        return parseHex(ok("hex"));
    }

    /** Occurrences of {@code sequence} in what was received. */
    int count(byte... sequence) {
        return Integer.parseInt(ok("count " + hex(sequence)).trim());
    }

    /**
     * What arrived on one connection: for a network printer the accepted connections counted from
     * 0, for a serial printer the ptys (a replug starts the next).
     */
    byte[] hexOn(int connection) {
        return parseHex(ok("hex-on " + connection));
    }

    /** Occurrences of {@code sequence} in what arrived on one connection. */
    int countOn(int connection, byte... sequence) {
        return Integer.parseInt(ok("count-on " + connection + " " + hex(sequence)).trim());
    }

    /** Everything the printer sent to the host (replies, status blocks, {@link #send}). */
    byte[] sent() {
        return parseHex(ok("sent"));
    }

    /** The drawer pulses executed, as the command lists them ("pin:on:off,..."; empty for none). */
    String pulses() {
        return ok("pulses");
    }

    /** The text view of what was printed: printable text and line feeds, commands by name. */
    String text() {
        return new String(Base64.getDecoder().decode(ok("text").trim()), StandardCharsets.UTF_8);
    }

    /** Forgets what was received so far. */
    void clear() {
        ok("clear");
    }

    /** True once at least {@code count} bytes have been received, false when the time ran out. */
    boolean waitBytes(int count, Duration timeout) {
        return waitAnswer("wait-bytes " + count + " " + timeout.toMillis(), timeout);
    }

    /** True once {@code sequence} has been received {@code occurrences} times. */
    boolean waitSequence(byte[] sequence, int occurrences, Duration timeout) {
        String line = "wait-seq " + hex(sequence) + " " + occurrences + " " + timeout.toMillis();
        return waitAnswer(line, timeout);
    }

    /** True once the print engine has worked through everything received. */
    boolean waitPrinted(Duration timeout) {
        return waitAnswer("wait-printed " + timeout.toMillis(), timeout);
    }

    private boolean waitAnswer(String line, Duration timeout) {
        String reply = answer(line, timeout.plus(ANSWER_DEADLINE));
        if (reply.startsWith("ok")) {
            return true;
        }
        if (reply.startsWith("error")) {
            return false;
        }
        throw new PrinterCommandException("'" + line + "' answered '" + reply + "'");
    }

    /** Asks the printer to end and waits for it; kills it if it does not end in time. */
    @Override
    public void close() {
        try {
            if (process.isAlive()) {
                try {
                    answer("quit", Duration.ofSeconds(3));
                } catch (PrinterCommandException e) {
                    // Ending anyway: closing its input is the other way to say quit.
                }
                commands.close();
            }
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly().waitFor(5, TimeUnit.SECONDS);
            }
        } catch (IOException e) {
            process.destroyForcibly();
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
    }

    boolean isAlive() {
        return process.isAlive();
    }

    // --- hex spelling, as the command reads and writes it ---

    static String hex(byte... bytes) {
        return HEX.formatHex(bytes);
    }

    /** Reads "1b40", "1B 40" and the like. */
    static byte[] parseHex(String text) {
        return HEX.parseHex(text.replaceAll("\\s+", ""));
    }

    private static String onOff(boolean on) {
        return on ? "on" : "off";
    }
}
