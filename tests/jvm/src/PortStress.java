import com.keldo.jpos.JNativePort.NativePort;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Random;
import java.util.SplittableRandom;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.LongSupplier;

/**
 * Three Java threads calling one port's natives at random against one virtual printer, while a
 * fourth makes the printer misbehave for short periods; then what must hold after any such run.
 *
 * <p>The callers open, claim (thermal and impact), write jobs, ask the printer and drawer status,
 * read, kick the drawer, wait for completion, release and close, in random order with random
 * pauses, as services sharing one printer would. The fault thread keeps the printer healthy most
 * of the time and now and then, for a second or a few, opens the cover, runs out of paper, goes
 * silent, and drops the line the way the cable in use can (a reset or closed connection, a
 * dropped DSR, an unplugged cable).
 *
 * <p>After the last caller has stopped and a last {@code _closePort}:
 *
 * <ul>
 *   <li>no call took longer than {@link #CALL_BOUND_MS}: every call's duration is recorded, and
 *       count, median and maximum of each native are printed;
 *   <li>every native returned something it may return;
 *   <li>the JVM holds the descriptors it held before the first call, and no thread that the
 *       library could have started (they carry the names of the Java threads that called it, see
 *       {@link NativeThreads}) is left;
 *   <li>every job that {@code _writeData} reported as written in full is on the printer exactly
 *       once, complete and unbroken. A job whose write returned less, or an error, may be there
 *       any number of times; how often is reported.
 * </ul>
 *
 * <p>Refusals are outcomes, not failures: -2 while the printer reports cover open, paper end or
 * offline (or the line has failed), -1 while no port is open.
 *
 * <p>The run is random: the seed is printed, and the system property {@code prn.stress.seed} (or
 * the environment variable {@code PRN_STRESS_SEED}) sets it, so that a failing run makes the same
 * choices again (the callers' actions, jobs and pauses, the faults and their lengths; how the
 * threads interleave is the machine's); {@code
 * prn.stress.seconds} ({@code PRN_STRESS_SECONDS}) sets the length of the run, 120 s by default.
 * Whether the JVM stayed free of -Xcheck:jni warnings is judged outside, on the JVM's output (see
 * tests/jvm/CMakeLists.txt).
 */
final class PortStress {
    /** No call may take longer, whatever it queued behind. */
    static final long CALL_BOUND_MS = 30_000;
    /** Distinct kernel names of the calling threads (at most 15 characters). */
    static final String[] CALLERS = {"stress-call-1", "stress-call-2", "stress-call-3"};
    /** The thread that makes the last {@code _closePort}. */
    static final String CLOSER = "stress-closer";

    private static final String FAULTS = "stress-faults";
    private static final long DEFAULT_SECONDS = 120;
    /** Healthy stretches between two faults. */
    private static final long HEALTHY_MIN_MS = 3000;
    private static final long HEALTHY_MAX_MS = 8000;
    /** Beyond the end of the run: a call started then may queue behind others up to the bound. */
    private static final Duration CALLERS_END = Duration.ofMillis(CALL_BOUND_MS * 2);
    /** Threads leave the kernel's list a little after they end. */
    private static final Duration SETTLE = Duration.ofSeconds(5);
    /** Bytes a write reported as sent are on their way to the printer's record. */
    private static final Duration ARRIVAL = Duration.ofSeconds(5);
    private static final int LISTED = 25;

    /** A way the printer misbehaves: a command, and the one that ends it (none: it is a moment). */
    record Fault(String begin, String end, int weight, long minHoldMs, long maxHoldMs) {
        static Fault moment(String command, int weight) {
            return new Fault(command, null, weight, 0, 0);
        }

        static Fault period(String begin, String end, int weight, long minMs, long maxMs) {
            return new Fault(begin, end, weight, minMs, maxMs);
        }
    }

    /** What the cable contributes: where to open, with which settings, and how it fails. */
    record Line(String kind, String portName, List<String> settings, List<Fault> faults) {}

    // ---- the run's own state ----

    private final NativePort port;
    private final VirtualPrinterProcess printer;
    private final Line line;
    private final long seed;
    private final long runMillis;
    private final long t0 = System.nanoTime();
    private final long endNanos;

    private final ConcurrentLinkedQueue<Call> calls = new ConcurrentLinkedQueue<>();
    private final ConcurrentLinkedQueue<Job> jobs = new ConcurrentLinkedQueue<>();
    private final ConcurrentLinkedQueue<Episode> episodes = new ConcurrentLinkedQueue<>();
    private final ConcurrentLinkedQueue<String> failures = new ConcurrentLinkedQueue<>();
    private final Caller[] callers = new Caller[CALLERS.length];
    private final List<String> report = new ArrayList<>();
    /** When the last {@code _closePort} was called (no such call yet: never). */
    private volatile long lastCloseAtMs = Long.MAX_VALUE;

    /** One call and how long it took, in milliseconds from the start of the run. */
    record Call(String name, int caller, long startMs, long millis, long result, String detail) {}

    /** A fault as it happened, in milliseconds from the start of the run. */
    record Episode(String name, long fromMs, long toMs) {}

    /** A job: its bytes, and what its write returned. */
    static final class Job {
        final String id;
        final int caller;
        final byte[] bytes;
        volatile long startMs;
        volatile long endMs = -1;
        volatile int result;
        volatile boolean returned;

        Job(String id, int caller, byte[] bytes) {
            this.id = id;
            this.caller = caller;
            this.bytes = bytes;
        }

        boolean reportedFull() {
            return returned && result == bytes.length;
        }
    }

    /** A calling thread and the call it is in, so that a call that never returns can be named. */
    static final class Caller {
        final int index;
        final Random random;
        Thread thread;
        volatile String inCall;
        volatile long inCallSince;
        int jobsMade;

        Caller(int index, long seed) {
            this.index = index;
            this.random = new Random(seed);
        }
    }

    private PortStress(NativePort port, VirtualPrinterProcess printer, Line line) {
        this.port = port;
        this.printer = printer;
        this.line = line;
        this.seed = setting("prn.stress.seed", "PRN_STRESS_SEED", System.nanoTime()
                ^ System.currentTimeMillis() * 31);
        this.runMillis = setting("prn.stress.seconds", "PRN_STRESS_SECONDS", DEFAULT_SECONDS) * 1000;
        this.endNanos = t0 + runMillis * 1_000_000L;
    }

    private static long setting(String property, String variable, long otherwise) {
        String text = System.getProperty(property);
        if (text == null || text.isBlank()) {
            text = System.getenv(variable);
        }
        if (text == null || text.isBlank()) {
            return otherwise;
        }
        try {
            return Long.parseLong(text.trim());
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException(property + " / " + variable + ": not a number: "
                    + text, e);
        }
    }

    /**
     * Runs the callers and the faults against {@code port} on {@code printer}, checks everything
     * and throws an {@link AssertionError} naming every failure; the figures are printed either
     * way.
     */
    static void run(NativePort port, VirtualPrinterProcess printer, Line line) {
        new PortStress(port, printer, line).run();
    }

    private long nowMs() {
        return (System.nanoTime() - t0) / 1_000_000;
    }

    private static String seconds(long ms) {
        return String.format(Locale.ROOT, "%.3f s", ms / 1000.0);
    }

    private void say(String text) {
        System.out.println("[stress " + line.kind() + "] " + text);
        System.out.flush();
    }

    private void fail(String text) {
        failures.add(text);
    }

    // ---- the run ----

    private void run() {
        say("seed " + seed + " (repeat with -Dprn.stress.seed=" + seed + " or PRN_STRESS_SEED="
                + seed + "), " + runMillis / 1000 + " s, " + CALLERS.length + " callers on "
                + line.portName() + ", faults: " + faultNames());
        // Load the classes the checks use before the first count, so that their jar reads and
        // the listings themselves are in it.
        descriptorTargets();
        namedThreads();
        Map<String, Integer> descriptorsBefore = descriptorTargets();
        int threadsBefore = NativeThreads.count();
        Map<String, Integer> namedBefore = namedThreads();

        Random master = new Random(seed);
        for (int i = 0; i < callers.length; i++) {
            callers[i] = new Caller(i + 1, master.nextLong());
        }
        Random faultRandom = new Random(master.nextLong());
        for (Caller caller : callers) {
            caller.thread = new Thread(() -> work(caller), CALLERS[caller.index - 1]);
            caller.thread.setDaemon(true);
        }
        Thread faults = new Thread(() -> injectFaults(faultRandom), FAULTS);
        faults.setDaemon(true);
        for (Caller caller : callers) {
            caller.thread.start();
        }
        faults.start();

        awaitCallers();
        if (!Poll.until(Duration.ofSeconds(30), () -> !faults.isAlive())) {
            fail("the fault thread did not end within 30 s of the end of the run");
        }
        boolean closed = lastClose();
        awaitLastJobs();

        checkThreads(closed, threadsBefore, namedBefore);
        checkDescriptors(descriptorsBefore);
        reportCalls();
        checkResults();
        try {
            checkJobsOnPrinter();
        } catch (RuntimeException e) {
            fail("the printer's record could not be read: " + e);
        }
        reportFaults();

        List<String> all = new ArrayList<>(failures);
        for (String text : report) {
            say(text);
        }
        say(all.isEmpty() ? "all checks held" : all.size() + " failure(s):");
        for (String failure : all) {
            say("FAILED: " + failure);
        }
        if (!all.isEmpty()) {
            StringBuilder message = new StringBuilder(line.kind()).append(" stress run, seed ")
                    .append(seed).append(": ").append(all.size()).append(" failure(s)");
            for (String failure : all.subList(0, Math.min(all.size(), 60))) {
                message.append("\n  ").append(failure);
            }
            if (all.size() > 60) {
                message.append("\n  ... and ").append(all.size() - 60).append(" more (see above)");
            }
            throw new AssertionError(message.toString());
        }
    }

    /** Waits for the callers, printing progress; names every call that has not returned. */
    private void awaitCallers() {
        long deadline = endNanos + CALLERS_END.toNanos();
        String atEnd = null;
        long atEndMs = 0;
        while (true) {
            boolean ended = Poll.until(Duration.ofSeconds(20), this::callersEnded);
            if (ended) {
                return;
            }
            say(progress());
            if (atEnd == null && System.nanoTime() - endNanos > 0) {
                // Calls go on past the end of the run: what the line looks like from both ends.
                atEndMs = nowMs();
                atEnd = lineView();
            }
            if (System.nanoTime() - deadline > 0) {
                break;
            }
        }
        String view = "at " + seconds(atEndMs) + " " + atEnd + "; at " + seconds(nowMs()) + " "
                + lineView();
        for (Caller caller : callers) {
            if (caller.thread.isAlive()) {
                String call = caller.inCall;
                long since = caller.inCallSince;
                fail(CALLERS[caller.index - 1] + " has not returned from "
                        + (call == null ? "(between calls)" : call + ", called at "
                        + seconds(since) + ", for " + (nowMs() - since) + " ms now")
                        + "; faults around it: " + faultsAround(since, nowMs())
                        + "; other callers from 3 s before it: "
                        + callsOfOthers(caller.index, since - 3000, nowMs(), since)
                        + "; the line since the end of the run: " + view);
            }
        }
    }

    /** GS ( H fn 48, before the identifier each wait gives its request. */
    private static final byte[] PROCESS_ID_REQUEST = Bytes.of(0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30);
    private static final byte[] PROCESS_ID_REPLY = Bytes.of(0x37, 0x22);

    /**
     * The completion requests the printer has received and its replies, and the status the
     * library reports (asked on a thread of its own: it must not hold up the report).
     */
    private String lineView() {
        long[] status = {Long.MIN_VALUE};
        Thread asker = new Thread(() -> status[0] = port._getPrinterStatus(0), "stress-asker");
        asker.setDaemon(true);
        asker.start();
        try {
            asker.join(2000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        String reported = asker.isAlive() ? "_getPrinterStatus does not return either"
                : "_getPrinterStatus says " + status[0];
        try {
            int requests = printer.count(PROCESS_ID_REQUEST);
            byte[] sent = printer.sent();
            int replies = 0;
            for (int at = indexOf(sent, PROCESS_ID_REPLY, 0); at >= 0;
                    at = indexOf(sent, PROCESS_ID_REPLY, at + 1)) {
                replies++;
            }
            return "the printer had received " + requests + " completion requests (GS ( H) and"
                    + " sent " + replies + " process-ID replies, " + reported;
        } catch (RuntimeException e) {
            return "the printer does not answer (" + e.getMessage() + "), " + reported;
        }
    }

    private boolean callersEnded() {
        for (Caller caller : callers) {
            if (caller.thread.isAlive()) {
                return false;
            }
        }
        return true;
    }

    private String progress() {
        int full = 0;
        int attempted = 0;
        for (Job job : jobs) {
            attempted++;
            if (job.reportedFull()) {
                full++;
            }
        }
        StringBuilder text = new StringBuilder("at ").append(seconds(nowMs())).append(": ")
                .append(calls.size()).append(" calls, ").append(attempted).append(" jobs, ")
                .append(full).append(" written in full");
        for (Caller caller : callers) {
            String call = caller.inCall;
            if (call != null) {
                text.append("; ").append(CALLERS[caller.index - 1]).append(" in ").append(call)
                        .append(" for ").append(nowMs() - caller.inCallSince).append(" ms");
            }
        }
        return text.toString();
    }

    /** The last {@code _closePort}, on its own thread so that a close that hangs is seen. */
    private boolean lastClose() {
        long[] took = {-1};
        Thread closer = new Thread(() -> {
            long start = System.nanoTime();
            port._closePort();
            took[0] = (System.nanoTime() - start) / 1_000_000;
        }, CLOSER);
        closer.setDaemon(true);
        long calledAt = nowMs();
        lastCloseAtMs = calledAt;
        closer.start();
        try {
            closer.join(CALL_BOUND_MS + 5000);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        if (closer.isAlive()) {
            fail("the last _closePort (at " + seconds(calledAt) + ", every caller "
                    + (callersEnded() ? "gone" : "NOT gone") + ") has not returned after "
                    + (nowMs() - calledAt) + " ms");
            return false;
        }
        report.add("last _closePort took " + took[0] + " ms");
        if (took[0] > CALL_BOUND_MS) {
            fail("the last _closePort took " + took[0] + " ms, more than " + CALL_BOUND_MS);
        }
        return true;
    }

    /** Waits until the end of each caller's last job reported in full is on the printer. */
    private void awaitLastJobs() {
        Map<Integer, Job> last = new HashMap<>();
        for (Job job : jobs) {
            if (job.reportedFull()) {
                last.merge(job.caller, job, (a, b) -> a.endMs >= b.endMs ? a : b);
            }
        }
        try {
            for (Job job : last.values()) {
                printer.waitSequence(trailer(job.id), 1, ARRIVAL);
            }
        } catch (RuntimeException e) {
            fail("the printer does not answer after the run: " + e);
        }
    }

    // ---- the callers ----

    private void work(Caller caller) {
        byte[] readBuffer = new byte[512];
        String next = null;
        while (System.nanoTime() - endNanos < 0) {
            String action = next != null ? next : pick(caller.random);
            next = null;
            try {
                next = act(caller, action, readBuffer);
            } catch (Throwable t) {
                fail(CALLERS[caller.index - 1] + ": " + action + " threw " + t);
                if (t instanceof Error && !(t instanceof AssertionError)) {
                    return;
                }
            }
            int pause = caller.random.nextInt(30);
            if (pause > 0) {
                try {
                    Thread.sleep(pause); // the workload's own pace, not a wait for anything
                } catch (InterruptedException e) {
                    return;
                }
            }
        }
    }

    /** The actions and their weights: mostly jobs and status, now and then the rest. */
    private static final Map<String, Integer> WEIGHTS = new LinkedHashMap<>();

    static {
        WEIGHTS.put("write", 40);
        WEIGHTS.put("status", 12);
        WEIGHTS.put("drawer status", 6);
        WEIGHTS.put("read", 6);
        WEIGHTS.put("open", 8);
        WEIGHTS.put("claim thermal", 5);
        WEIGHTS.put("claim impact", 3);
        WEIGHTS.put("completion", 5);
        WEIGHTS.put("kick", 3);
        WEIGHTS.put("release", 2);
        WEIGHTS.put("close", 2);
    }

    private static String pick(Random random) {
        int total = 0;
        for (int weight : WEIGHTS.values()) {
            total += weight;
        }
        int at = random.nextInt(total);
        for (Map.Entry<String, Integer> entry : WEIGHTS.entrySet()) {
            at -= entry.getValue();
            if (at < 0) {
                return entry.getKey();
            }
        }
        throw new IllegalStateException();
    }

    /** Performs one action; returns the action a service would take next, or null. */
    private String act(Caller caller, String action, byte[] readBuffer) {
        Random random = caller.random;
        switch (action) {
            case "write": {
                Job job = newJob(caller);
                job.startMs = nowMs();
                long timeout = 1000 + random.nextInt(4001);
                long result = call(caller, "_writeData", "job " + job.id + " (" + job.bytes.length
                        + " B)", () -> port._writeData(job.bytes, job.bytes.length, timeout));
                job.result = (int) result;
                job.endMs = nowMs();
                job.returned = true;
                // A service whose port is closed opens it again, now and then at once. (Every
                // draw is made whatever the result, so that a seed makes the same choices.)
                boolean reopen = random.nextInt(2) == 0;
                return result == -1 && reopen ? "open" : null;
            }
            case "status":
                call(caller, "_getPrinterStatus", "", () -> port._getPrinterStatus(1000));
                return null;
            case "drawer status":
                call(caller, "_getCashDrawerStatus", "", () -> port._getCashDrawerStatus(1000));
                return null;
            case "read": {
                int length = 1 + random.nextInt(readBuffer.length);
                long timeout = 100 + random.nextInt(900);
                call(caller, "_readData", "rlen " + length + ", a " + readBuffer.length
                        + " B array", () -> port._readData(readBuffer, length, timeout));
                return null;
            }
            case "open": {
                String settings = line.settings().get(random.nextInt(line.settings().size()));
                long result = call(caller, "_openPort", line.portName() + " " + settings,
                        () -> port._openPort(line.portName(), settings));
                boolean claim = random.nextInt(10) < 6;
                boolean impact = random.nextInt(3) == 0;
                if (result == 0 && claim) {
                    return impact ? "claim impact" : "claim thermal";
                }
                return null;
            }
            case "claim thermal":
                call(caller, "_claim(thermal)", "", () -> port._claim(1000, true));
                return null;
            case "claim impact":
                call(caller, "_claim(impact)", "", () -> port._claim(1000, false));
                return null;
            case "completion": {
                long wait = 2000 + random.nextInt(8001);
                call(caller, "_WaitForCompletePrinting", wait + " ms",
                        () -> port._WaitForCompletePrinting(wait) ? 1 : 0);
                return null;
            }
            case "kick": {
                int draw = random.nextInt(10);
                long pin = draw == 0 ? 1 : draw < 6 ? NativePort.DRAWER_PIN_2
                        : NativePort.DRAWER_PIN_5;
                long on = 50 + random.nextInt(200);
                long off = 50 + random.nextInt(200);
                call(caller, "_OpenDrawer", "pin " + pin + ", " + on + "/" + off + " ms",
                        () -> port._OpenDrawer(pin, on, off));
                return null;
            }
            case "release":
                call(caller, "_release", "", () -> {
                    port._release();
                    return 0;
                });
                return null;
            case "close":
                call(caller, "_closePort", "", () -> {
                    port._closePort();
                    return 0;
                });
                return null;
            default:
                throw new IllegalArgumentException(action);
        }
    }

    private long call(Caller caller, String name, String detail, LongSupplier body) {
        long start = System.nanoTime();
        long startMs = (start - t0) / 1_000_000;
        caller.inCallSince = startMs;
        caller.inCall = detail.isEmpty() ? name : name + " (" + detail + ")";
        long result = body.getAsLong();
        long millis = (System.nanoTime() - start) / 1_000_000;
        caller.inCall = null;
        calls.add(new Call(name, caller.index, startMs, millis, result, detail));
        return result;
    }

    // ---- jobs ----

    /** Printable, without capitals: no payload can spell a job's head or end. */
    private static final byte[] ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789 .,:;-+=*/()"
            .getBytes(StandardCharsets.US_ASCII);
    private static final int PAYLOAD_LINE = 48;
    private static final byte[] HEAD_MARK = "\nJOB ".getBytes(StandardCharsets.US_ASCII);
    private static final byte[] END_MARK = "\nEND ".getBytes(StandardCharsets.US_ASCII);

    private Job newJob(Caller caller) {
        int n = ++caller.jobsMade;
        String id = "t" + caller.index + "-" + n;
        Random random = caller.random;
        int length = random.nextInt(100) < 6
                ? 32 * 1024 + 1 + random.nextInt(32 * 1024)
                : (int) Math.round(50 * Math.pow(32 * 1024 / 50.0, random.nextDouble()));
        Job job = new Job(id, caller.index, jobBytes(id, length,
                new SplittableRandom(seed ^ ((long) caller.index << 40) ^ n)));
        jobs.add(job);
        return job;
    }

    /** "\nJOB id length\n", printable lines, "\nEND id\n": {@code length} bytes in all. */
    static byte[] jobBytes(String id, int length, SplittableRandom random) {
        byte[] head = ("\nJOB " + id + " " + length + "\n").getBytes(StandardCharsets.US_ASCII);
        byte[] tail = trailer(id);
        byte[] job = new byte[length];
        System.arraycopy(head, 0, job, 0, head.length);
        int payloadEnd = length - tail.length;
        for (int i = head.length, column = 0; i < payloadEnd; i++, column++) {
            if (column == PAYLOAD_LINE) {
                job[i] = '\n';
                column = -1;
            } else {
                job[i] = ALPHABET[random.nextInt(ALPHABET.length)];
            }
        }
        System.arraycopy(tail, 0, job, payloadEnd, tail.length);
        return job;
    }

    static byte[] trailer(String id) {
        return ("\nEND " + id + "\n").getBytes(StandardCharsets.US_ASCII);
    }

    // ---- the faults ----

    private String faultNames() {
        List<String> names = new ArrayList<>();
        for (Fault fault : line.faults()) {
            names.add(fault.end() == null ? fault.begin()
                    : fault.begin() + " .. " + fault.end() + " (" + fault.minHoldMs() / 1000.0
                    + "-" + fault.maxHoldMs() / 1000.0 + " s)");
        }
        return String.join(", ", names);
    }

    private void injectFaults(Random random) {
        int total = 0;
        for (Fault fault : line.faults()) {
            total += fault.weight();
        }
        try {
            while (true) {
                long healthy = HEALTHY_MIN_MS + (long) (random.nextDouble()
                        * (HEALTHY_MAX_MS - HEALTHY_MIN_MS));
                if (!pause(healthy) || System.nanoTime() - endNanos > 0) {
                    return;
                }
                int at = random.nextInt(total);
                Fault fault = null;
                for (Fault candidate : line.faults()) {
                    at -= candidate.weight();
                    if (at < 0) {
                        fault = candidate;
                        break;
                    }
                }
                long from = nowMs();
                printer.ok(fault.begin());
                if (fault.end() == null) {
                    episodes.add(new Episode(fault.begin(), from, from));
                    continue;
                }
                long hold = fault.minHoldMs() + (long) (random.nextDouble()
                        * (fault.maxHoldMs() - fault.minHoldMs()));
                try {
                    pause(hold);
                } finally {
                    printer.ok(fault.end());
                    episodes.add(new Episode(fault.begin(), from, nowMs()));
                }
            }
        } catch (RuntimeException e) {
            fail("the fault thread stopped: " + e);
        }
    }

    /** A random stretch of the fault schedule (its pace, not a wait for anything). */
    private static boolean pause(long ms) {
        try {
            Thread.sleep(ms);
            return true;
        } catch (InterruptedException e) {
            return false;
        }
    }

    /** A cover-open or paper-end report that may have reached the library during the write. */
    private boolean offlineReportDuring(Job job) {
        for (Episode episode : episodes) {
            boolean report = episode.name().startsWith("cover open")
                    || episode.name().startsWith("paper end");
            if (report && episode.fromMs() <= job.endMs && episode.toMs() >= job.startMs - 100) {
                return true;
            }
        }
        return false;
    }

    /**
     * The printer reset the connection while the job was written, and the job's first complete
     * copy is the last thing its connection carried: the job's bytes reached the printer, but
     * the reset came before the printer's acknowledgement (a receiver delays its ACK by up to
     * some 40 ms). Bytes unacknowledged at a reset cannot be told from bytes lost with it, and
     * the library sends the job again on the new connection.
     */
    private boolean resetBeforeTheAcknowledgement(Job job, int firstCopy) {
        if (starts == null) {
            return false;
        }
        int c = 0;
        while (c + 1 < starts.length && starts[c + 1] <= firstCopy) {
            c++;
        }
        if (c + 1 >= starts.length || firstCopy + job.bytes.length != starts[c + 1]) {
            return false;
        }
        for (Episode episode : episodes) {
            // A closed connection (tcp drop) acknowledges with its FIN; a reset does not.
            boolean reset = episode.name().equals("tcp reset");
            if (reset && episode.fromMs() >= job.startMs && episode.fromMs() <= job.endMs) {
                return true;
            }
        }
        return false;
    }

    private String faultsAround(long fromMs, long toMs) {
        List<String> seen = new ArrayList<>();
        for (Episode episode : episodes) {
            if (episode.toMs() >= fromMs - 1000 && episode.fromMs() <= toMs + 1000) {
                seen.add(describe(episode));
            }
        }
        if (seen.size() > 8) {
            int more = seen.size() - 8;
            seen = new ArrayList<>(seen.subList(0, 8));
            seen.add("and " + more + " more");
        }
        return seen.isEmpty() ? "none within 1 s" : String.join(", ", seen);
    }

    private static String describe(Episode episode) {
        return episode.fromMs() == episode.toMs()
                ? episode.name() + " at " + seconds(episode.fromMs())
                : episode.name() + " " + seconds(episode.fromMs()) + ".."
                        + seconds(episode.toMs());
    }

    private void reportFaults() {
        Map<String, Integer> counts = new TreeMap<>();
        long faultyMs = 0;
        for (Episode episode : episodes) {
            counts.merge(episode.name(), 1, Integer::sum);
            faultyMs += episode.toMs() - episode.fromMs();
        }
        report.add("faults injected: " + counts + ", " + faultyMs * 100 / Math.max(1, runMillis)
                + "% of the run inside a fault period");
    }

    // ---- checks: durations and results ----

    /** What the library itself waits in each native, for reading the figures. */
    private static final Map<String, String> OWN_WAITS = new LinkedHashMap<>();

    static {
        OWN_WAITS.put("_openPort", "its own wait <= about 3.5 s");
        OWN_WAITS.put("_claim(thermal)", "about 0.5 s");
        OWN_WAITS.put("_claim(impact)", "<= 2 s");
        OWN_WAITS.put("_writeData", "as long as the printer takes the bytes, +2.5 s to reconnect");
        OWN_WAITS.put("_getPrinterStatus", "none");
        OWN_WAITS.put("_getCashDrawerStatus", "none");
        OWN_WAITS.put("_readData", "<= its timeout");
        OWN_WAITS.put("_OpenDrawer", "about 2 s");
        OWN_WAITS.put("_WaitForCompletePrinting", "until the answer, re-sent every 10 s");
        OWN_WAITS.put("_release", "none");
        OWN_WAITS.put("_closePort", "<= about 4 s");
    }

    private void reportCalls() {
        Map<String, List<Call>> byName = new LinkedHashMap<>();
        for (String name : OWN_WAITS.keySet()) {
            byName.put(name, new ArrayList<>());
        }
        List<Call> tooLong = new ArrayList<>();
        for (Call call : calls) {
            byName.computeIfAbsent(call.name(), k -> new ArrayList<>()).add(call);
            if (call.millis() > CALL_BOUND_MS) {
                tooLong.add(call);
            }
        }
        report.add(String.format(Locale.ROOT, "%-26s %6s %8s %8s %8s  %s", "native", "calls",
                "median", "p99", "max", "results (library's own wait)"));
        for (Map.Entry<String, List<Call>> entry : byName.entrySet()) {
            List<Call> list = entry.getValue();
            long[] millis = list.stream().mapToLong(Call::millis).sorted().toArray();
            Call slowest = list.stream().max((a, b) -> Long.compare(a.millis(), b.millis()))
                    .orElse(null);
            report.add(String.format(Locale.ROOT, "%-26s %6d %6d ms %5d ms %5d ms  %s (%s)",
                    entry.getKey(), millis.length, quantile(millis, 0.5), quantile(millis, 0.99),
                    millis.length == 0 ? 0 : millis[millis.length - 1], results(entry.getKey(),
                    list), OWN_WAITS.getOrDefault(entry.getKey(), "?")));
            if (slowest != null && slowest.millis() > 5000) {
                report.add("    slowest " + entry.getKey() + ": " + describe(slowest)
                        + "; faults around it: "
                        + faultsAround(slowest.startMs(), slowest.startMs() + slowest.millis()));
            }
        }
        tooLong.sort((a, b) -> Long.compare(b.millis(), a.millis()));
        for (Call call : tooLong.subList(0, Math.min(LISTED, tooLong.size()))) {
            fail(describe(call) + ": more than the bound of " + CALL_BOUND_MS
                    + " ms; faults around it: "
                    + faultsAround(call.startMs(), call.startMs() + call.millis())
                    + "; other callers from 3 s before it: " + callsOfOthers(call.caller(),
                    call.startMs() - 3000, call.startMs() + call.millis(), call.startMs()));
        }
        if (tooLong.size() > LISTED) {
            fail((tooLong.size() - LISTED) + " more calls took longer than " + CALL_BOUND_MS
                    + " ms");
        }
    }

    private String describe(Call call) {
        boolean endedByLastClose = call.startMs() < lastCloseAtMs
                && call.startMs() + call.millis() >= lastCloseAtMs;
        return call.name() + (call.detail().isEmpty() ? "" : " (" + call.detail() + ")") + " by "
                + CALLERS[call.caller() - 1] + ", called at " + seconds(call.startMs())
                + ", took " + call.millis() + " ms, returned " + call.result()
                + (endedByLastClose ? " (only after the last _closePort, at "
                + seconds(lastCloseAtMs) + ")" : "");
    }

    private static long quantile(long[] sorted, double q) {
        if (sorted.length == 0) {
            return 0;
        }
        return sorted[(int) Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
    }

    private static String results(String name, List<Call> list) {
        Map<String, Integer> counts = new TreeMap<>();
        for (Call call : list) {
            String key;
            if (name.equals("_writeData")) {
                long length = Long.parseLong(call.detail().replaceAll(".*\\((\\d+) B\\)", "$1"));
                key = call.result() == length ? "full" : call.result() > 0 ? "part"
                        : Long.toString(call.result());
            } else if (name.equals("_readData")) {
                key = call.result() > 0 ? ">0" : Long.toString(call.result());
            } else if (name.equals("_release") || name.equals("_closePort")) {
                key = "void";
            } else if (name.equals("_WaitForCompletePrinting")) {
                key = call.result() != 0 ? "true" : "false";
            } else {
                key = Long.toString(call.result());
            }
            counts.merge(key, 1, Integer::sum);
        }
        StringBuilder text = new StringBuilder();
        counts.forEach((key, count) -> text.append(text.length() == 0 ? "" : " ").append(key)
                .append('x').append(count));
        return text.length() == 0 ? "-" : text.toString();
    }

    /** Results a native may return at all, whatever the printer did. */
    private void checkResults() {
        int listed = 0;
        int bad = 0;
        for (Call call : calls) {
            String why = invalid(call);
            if (why != null) {
                bad++;
                if (listed++ < LISTED) {
                    fail(describe(call) + ": " + why + "; faults around it: "
                            + faultsAround(call.startMs(), call.startMs() + call.millis()));
                }
            }
        }
        if (bad > LISTED) {
            fail((bad - LISTED) + " more calls returned what their native may not");
        }
    }

    private static String invalid(Call call) {
        long r = call.result();
        switch (call.name()) {
            case "_openPort":
                return r >= -3 && r <= 2 ? null : "an open returns 0, 1, 2 or -1..-3";
            case "_claim(thermal)":
            case "_claim(impact)":
                return r >= -3 && r <= 1 ? null : "a claim returns 0, 1 or -1..-3";
            case "_getPrinterStatus":
                return r == NativePort.STATUS_READY || r == NativePort.STATUS_COVER_OPEN
                        || r == NativePort.STATUS_PAPER_END || r == NativePort.STATUS_OFFLINE
                        || r == NativePort.STATUS_PAPER_NEAR_END ? null
                        : "not one of the STATUS_ values 0, 1, 2, 8, 16";
            case "_readData": {
                // rlen is not a limit of the library's; the array is, and so is one read of 256.
                long array = Long.parseLong(call.detail().replaceAll(".*, a (\\d+) B array.*", "$1"));
                long most = Math.min(array, 256);
                return r >= -3 && r <= most ? null : "a read returns -3.." + most
                        + ": it delivered more bytes than the array holds";
            }
            case "_writeData": {
                long length = Long.parseLong(call.detail().replaceAll(".*\\((\\d+) B\\)", "$1"));
                return r >= -3 && r <= length ? null : "a write returns -3.." + length;
            }
            case "_OpenDrawer":
                if (call.detail().startsWith("pin 1,")) {
                    return r == 1 ? null : "a pin other than 2 and 5 gets 1 (nothing sent)";
                }
                return r == 0 || (r < 0 && r >= -3) ? null : "a kick on pin 2 or 5 returns 0 or -1..-3";
            default:
                return null;
        }
    }

    // ---- checks: threads and descriptors ----

    private static Map<String, Integer> namedThreads() {
        Map<String, Integer> counts = new LinkedHashMap<>();
        for (String name : CALLERS) {
            counts.put(name, NativeThreads.named(name).size());
        }
        counts.put(CLOSER, NativeThreads.named(CLOSER).size());
        return counts;
    }

    private void checkThreads(boolean closed, int totalBefore, Map<String, Integer> before) {
        AtomicReference<Map<String, Integer>> now = new AtomicReference<>(namedThreads());
        boolean back = Poll.until(SETTLE, () -> now.updateAndGet(was -> namedThreads())
                .equals(before));
        int totalAfter = NativeThreads.count();
        report.add("native threads: " + totalBefore + " before the first call, " + totalAfter
                + " after the last close (the JVM's own come and go); named like the callers: "
                + before + " before, " + now.get() + " after");
        if (!back) {
            fail("threads named like the Java threads that called the library, " + SETTLE.toSeconds()
                    + " s after the last _closePort" + (closed ? "" : " (which never returned)")
                    + ": " + now.get() + ", before the first call: " + before
                    + " (a thread the library started and left running carries its caller's name)");
        }
    }

    /** Descriptors of this JVM by what they refer to (the listing's own one left out). */
    private static Map<String, Integer> descriptorTargets() {
        Map<String, Integer> targets = new TreeMap<>();
        Path fds = Path.of("/proc/self/fd");
        try (DirectoryStream<Path> list = Files.newDirectoryStream(fds)) {
            for (Path fd : list) {
                try {
                    String target = Files.readSymbolicLink(fd).toString();
                    if (!target.endsWith("/fd")) {
                        targets.merge(target, 1, Integer::sum);
                    }
                } catch (IOException e) {
                    // closed while we looked
                }
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return targets;
    }

    private static int total(Map<String, Integer> targets) {
        return targets.values().stream().mapToInt(Integer::intValue).sum();
    }

    private void checkDescriptors(Map<String, Integer> before) {
        AtomicReference<Map<String, Integer>> now = new AtomicReference<>(descriptorTargets());
        Poll.until(SETTLE, () -> total(now.updateAndGet(was -> descriptorTargets()))
                == total(before));
        Map<String, Integer> after = now.get();
        report.add("descriptors of the JVM: " + total(before) + " before the first call, "
                + total(after) + " after the last close");
        if (total(after) != total(before)) {
            fail("the JVM holds " + total(after) + " descriptors after the last _closePort, "
                    + total(before) + " before the first call; " + difference(before, after));
        }
    }

    private static String difference(Map<String, Integer> before, Map<String, Integer> after) {
        List<String> added = new ArrayList<>();
        List<String> gone = new ArrayList<>();
        for (Map.Entry<String, Integer> entry : after.entrySet()) {
            int was = before.getOrDefault(entry.getKey(), 0);
            if (entry.getValue() > was) {
                added.add(entry.getKey() + (entry.getValue() - was > 1 ? " x"
                        + (entry.getValue() - was) : ""));
            }
        }
        for (Map.Entry<String, Integer> entry : before.entrySet()) {
            int is = after.getOrDefault(entry.getKey(), 0);
            if (entry.getValue() > is) {
                gone.add(entry.getKey() + (entry.getValue() - is > 1 ? " x"
                        + (entry.getValue() - is) : ""));
            }
        }
        return "new: " + (added.isEmpty() ? "none" : String.join(", ", added)) + "; gone: "
                + (gone.isEmpty() ? "none" : String.join(", ", gone));
    }

    // ---- checks: every job reported written is on the printer exactly once ----

    /** Where a job's bytes are in the printer's record. */
    static final class Copies {
        final List<Integer> complete = new ArrayList<>();
        final List<String> broken = new ArrayList<>();
        int ends;
    }

    /**
     * Where each connection's bytes begin in the record (a network printer counts accepted
     * connections, a serial one its ptys, a replug starting the next); null if that cannot be
     * told.
     */
    private int[] connectionStarts(int recordLength) {
        int connections;
        try {
            connections = line.kind().equals("ethernet") ? printer.connections()
                    : 1 + (int) episodes.stream().filter(e -> e.name().equals("unplug")).count();
            int[] starts = new int[connections];
            int at = 0;
            for (int c = 0; c < connections; c++) {
                starts[c] = at;
                at += VirtualPrinterProcess.parseHex(printer.ok("hex-on " + c)).length;
            }
            return at == recordLength ? starts : null;
        } catch (RuntimeException e) {
            report.add("the record by connection is not available: " + e.getMessage());
            return null;
        }
    }

    private String where(int offset) {
        if (starts == null) {
            return "record offset " + offset;
        }
        int c = 0;
        while (c + 1 < starts.length && starts[c + 1] <= offset) {
            c++;
        }
        return "record offset " + offset + " (" + (line.kind().equals("ethernet") ? "connection "
                : "pty ") + c + ", its byte " + (offset - starts[c]) + ")";
    }

    private int[] starts;

    /** Calls of the other callers while a job was being written. */
    private String meanwhile(Job job) {
        return callsOfOthers(job.caller, job.startMs, job.endMs, job.startMs);
    }

    /**
     * Calls (status questions left out) of callers other than {@code caller} in a stretch, the
     * ten that began nearest to {@code anchorMs}, in the order they began.
     */
    private String callsOfOthers(int caller, long fromMs, long toMs, long anchorMs) {
        List<Call> found = new ArrayList<>();
        for (Call call : calls) {
            if (call.caller() != caller && call.startMs() <= toMs
                    && call.startMs() + call.millis() >= fromMs
                    && !call.name().startsWith("_get")) {
                found.add(call);
            }
        }
        found.sort((a, b) -> Long.compare(Math.abs(a.startMs() - anchorMs),
                Math.abs(b.startMs() - anchorMs)));
        int more = Math.max(0, found.size() - 10);
        List<Call> nearest = new ArrayList<>(found.subList(0, found.size() - more));
        nearest.sort((a, b) -> Long.compare(a.startMs(), b.startMs()));
        List<String> seen = new ArrayList<>();
        for (Call call : nearest) {
            seen.add(call.name() + (call.detail().isEmpty() ? "" : " (" + call.detail() + ")")
                    + " by caller " + call.caller() + " at " + seconds(call.startMs()) + "+"
                    + call.millis() + " ms = " + call.result());
        }
        return seen.isEmpty() ? "none" : String.join(", ", seen) + (more > 0 ? " and " + more
                + " more" : "");
    }

    private void checkJobsOnPrinter() {
        byte[] record = printer.received();
        starts = connectionStarts(record.length);
        Map<String, Job> byId = new HashMap<>();
        for (Job job : jobs) {
            byId.put(job.id, job);
        }
        Map<String, Copies> copies = new HashMap<>();
        List<String> strangers = new ArrayList<>();
        long inCompleteCopies = 0;
        for (int at = indexOf(record, HEAD_MARK, 0); at >= 0;
                at = indexOf(record, HEAD_MARK, at + 1)) {
            // The name alone: a copy broken inside its head is still that job's copy.
            Job job = byId.get(idAt(record, at + HEAD_MARK.length));
            if (job == null) {
                strangers.add("a job head at " + where(at) + " that names no job: "
                        + printable(record, at, 40));
                continue;
            }
            Copies found = copies.computeIfAbsent(job.id, k -> new Copies());
            int mismatch = Arrays.mismatch(record, at, Math.min(record.length,
                    at + job.bytes.length), job.bytes, 0, job.bytes.length);
            if (mismatch < 0) {
                found.complete.add(at);
                inCompleteCopies += job.bytes.length;
            } else {
                found.broken.add("at " + where(at) + " it breaks after " + mismatch
                        + " of " + job.bytes.length + " B: " + whatIsAt(record, at + mismatch));
            }
        }
        for (int at = indexOf(record, END_MARK, 0); at >= 0;
                at = indexOf(record, END_MARK, at + 1)) {
            Job job = byId.get(idAt(record, at + END_MARK.length));
            if (job != null) {
                copies.computeIfAbsent(job.id, k -> new Copies()).ends++;
            }
        }

        int attempted = 0;
        int full = 0;
        int once = 0;
        int onceWithFragments = 0;
        int resentAfterReport = 0;
        int resentUnacknowledged = 0;
        int neverReturned = 0;
        List<String> missing = new ArrayList<>();
        List<String> truncated = new ArrayList<>();
        List<String> duplicated = new ArrayList<>();
        Map<String, int[]> notFull = new TreeMap<>(); // outcome -> jobs with 0, 1, 2+ copies
        for (Job job : jobs) {
            attempted++;
            Copies found = copies.getOrDefault(job.id, new Copies());
            int complete = found.complete.size();
            if (!job.returned) {
                neverReturned++;
                continue;
            }
            if (!job.reportedFull()) {
                String outcome = job.result > 0 ? "part" : Integer.toString(job.result);
                notFull.computeIfAbsent(outcome, k -> new int[3])[Math.min(complete, 2)]++;
                continue;
            }
            full++;
            String what = "job " + job.id + " (" + job.bytes.length + " B, " + CALLERS[job.caller
                    - 1] + ", _writeData returned " + job.result + ", called at "
                    + seconds(job.startMs) + ", returned at " + seconds(job.endMs) + ")";
            String around = "; faults around its write: " + faultsAround(job.startMs, job.endMs)
                    + "; other callers meanwhile: " + meanwhile(job);
            if (complete == 1) {
                once++;
                if (!found.broken.isEmpty()) {
                    onceWithFragments++;
                }
            } else if (complete > 1 && offlineReportDuring(job)) {
                // The printer reported cover open or paper end while the job went out: the
                // network library sends such a job again on a new connection, by design.
                resentAfterReport++;
            } else if (complete == 2
                    && resetBeforeTheAcknowledgement(job, found.complete.get(0))) {
                resentUnacknowledged++;
            } else if (complete > 1) {
                List<String> at = new ArrayList<>();
                for (int i = 0; i < complete; i++) {
                    int offset = found.complete.get(i);
                    String text = where(offset);
                    if (i > 0) {
                        int previousEnd = found.complete.get(i - 1) + job.bytes.length;
                        text += ", " + (offset - previousEnd) + " B after the one before, which"
                                + " is followed by " + whatIsAt(record, previousEnd);
                    }
                    at.add(text);
                }
                duplicated.add(what + ": " + complete + " complete copies, at " + String.join("; ",
                        at) + (found.broken.isEmpty() ? ""
                        : ", and broken ones: " + String.join("; ", found.broken)) + around);
            } else if (!found.broken.isEmpty() || found.ends > 0) {
                truncated.add(what + ": no complete copy; " + (found.broken.isEmpty()
                        ? "only its end, " + found.ends + " time(s), without its head"
                        : String.join("; ", found.broken)) + around);
            } else {
                missing.add(what + ": not on the printer at all" + around);
            }
        }

        report.add("printer record: " + record.length + " B, " + inCompleteCopies
                + " B of them in complete job copies");
        report.add("jobs attempted " + attempted + ", reported full " + full + ", found once "
                + once + ", missing " + missing.size() + ", truncated " + truncated.size()
                + ", duplicated " + duplicated.size() + (neverReturned > 0 ? ", write never returned "
                + neverReturned : ""));
        report.add("  reported full and found once, with broken copies besides (a resend after a"
                + " lost line): " + onceWithFragments);
        report.add("  reported full and found twice, sent again because the printer reported"
                + " cover open or paper end during the write: " + resentAfterReport);
        report.add("  reported full and found twice, sent again because a reset came before"
                + " the printer acknowledged the job's end: " + resentUnacknowledged);
        StringBuilder others = new StringBuilder("  not reported full (result: jobs with 0 / 1 /"
                + " 2+ complete copies on the printer):");
        notFull.forEach((outcome, counts) -> others.append(' ').append(outcome).append(": ")
                .append(counts[0]).append('/').append(counts[1]).append('/').append(counts[2])
                .append(';'));
        report.add(notFull.isEmpty() ? "  every write returned its job's full length"
                : others.toString());

        listFailures("reported written in full but missing", missing);
        listFailures("reported written in full but truncated or broken", truncated);
        listFailures("reported written in full but on the printer more than once", duplicated);
        listFailures("not written by any job", strangers);
        if (full == 0) {
            fail("no job was reported written in full: the run proves nothing about delivery");
        }
    }

    private void listFailures(String what, List<String> list) {
        for (String entry : list.subList(0, Math.min(LISTED, list.size()))) {
            fail(what + ": " + entry);
        }
        if (list.size() > LISTED) {
            fail((list.size() - LISTED) + " more " + what);
        }
    }

    private static int indexOf(byte[] data, byte[] pattern, int from) {
        outer:
        for (int i = Math.max(0, from); i <= data.length - pattern.length; i++) {
            for (int j = 0; j < pattern.length; j++) {
                if (data[i + j] != pattern[j]) {
                    continue outer;
                }
            }
            return i;
        }
        return -1;
    }

    /** The job name ("t2-17") at {@code at}: the characters up to a blank or line feed. */
    private static String idAt(byte[] data, int at) {
        int end = at;
        while (end < data.length && end - at < 16 && data[end] != ' ' && data[end] != '\n') {
            end++;
        }
        return new String(data, at, end - at, StandardCharsets.US_ASCII);
    }

    /** What breaks a copy: another job's head, one of the library's commands, or the end. */
    private static String whatIsAt(byte[] record, int at) {
        if (at >= record.length) {
            return "the record ends there";
        }
        String kind;
        if (startsWith(record, at, HEAD_MARK)) {
            kind = "the head of job " + idAt(record, at + HEAD_MARK.length);
        } else if (startsWith(record, at, Bytes.of(0x1D, 0x61))) {
            kind = "GS a (automatic status)";
        } else if (startsWith(record, at, Bytes.of(0x10, 0x04))) {
            kind = "DLE EOT (status request)";
        } else if (startsWith(record, at, Bytes.of(0x1D, 0x28, 0x48))) {
            kind = "GS ( H (completion request)";
        } else if (startsWith(record, at, Bytes.of(0x1B, 0x70))) {
            kind = "ESC p (drawer kick)";
        } else if (record[at] == 0) {
            kind = "NUL (impact probe)";
        } else {
            kind = "other bytes";
        }
        int end = Math.min(record.length, at + 16);
        return kind + ": " + VirtualPrinterProcess.hex(Arrays.copyOfRange(record, at, end));
    }

    private static boolean startsWith(byte[] data, int at, byte[] prefix) {
        if (at + prefix.length > data.length) {
            return false;
        }
        return Arrays.equals(data, at, at + prefix.length, prefix, 0, prefix.length);
    }

    private static String printable(byte[] data, int at, int length) {
        StringBuilder text = new StringBuilder();
        for (int i = at; i < Math.min(data.length, at + length); i++) {
            int b = data[i] & 0xFF;
            text.append(b >= 0x20 && b < 0x7F ? String.valueOf((char) b) : String.format("\\x%02x",
                    b));
        }
        return text.toString();
    }
}
