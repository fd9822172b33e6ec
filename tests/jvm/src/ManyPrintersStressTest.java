import com.keldo.jpos.JNativePort.NativePort;
import java.io.File;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.Set;
import java.util.TreeSet;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * One JVM with sixteen network and four serial printers, each on a port of its own: writer
 * threads send numbered jobs to printers picked at random, a cycler closes a printer's port now
 * and then and opens a new instance in its place (writers still holding the old one write to a
 * closed port), and faults come and go (network drops and resets, covers opened and closed, a
 * serial printer offline). Afterwards, with every port closed:
 *
 * <ul>
 *   <li>each job whose write returned its full length is on its own printer exactly once, whole;
 *   <li>a short count's bytes are the job's start, once, and nothing of the job beyond them;
 *   <li>a job whose write returned nothing (refused, not open) left no line anywhere;
 *   <li>no printer holds a line of another's job;
 *   <li>the JVM has the threads and descriptors it had before the first open.
 * </ul>
 *
 * <p>{@code prn.many.seconds} sets the length of the writing, 60 s by default; {@code
 * prn.many.seed} the seed (printed).
 */
class ManyPrintersStressTest {
    private static final int NETWORK_PRINTERS = 16;
    private static final int SERIAL_PRINTERS = 4;
    private static final String[] WRITERS = {"many-write-1", "many-write-2", "many-write-3",
        "many-write-4", "many-write-5", "many-write-6"};
    private static final Duration SETTLE = Duration.ofSeconds(5);
    private static final int LINE = 48;
    /** The bytes of a line tag ("p07 j00012 l003 "); a prefix this long names its job. */
    private static final int TAG = 17;

    @BeforeAll
    static void load() {
        Connection.loadAll();
    }

    /** A printer, the instance that acts on it now, and its jobs. */
    static final class Printer {
        final int id;
        final Connection connection;
        final VirtualPrinterProcess process;
        final AtomicReference<NativePort> port = new AtomicReference<>();
        final AtomicInteger nextJob = new AtomicInteger();

        Printer(int id, Connection connection) {
            this.id = id;
            this.connection = connection;
            this.process = connection.startPrinter();
        }
    }

    record Job(int printer, int id, byte[] bytes, int result) {}

    private final List<Printer> printers = new ArrayList<>();
    private final ConcurrentLinkedQueue<Job> jobs = new ConcurrentLinkedQueue<>();
    private final ConcurrentLinkedQueue<String> failures = new ConcurrentLinkedQueue<>();
    private final AtomicBoolean stop = new AtomicBoolean();
    private final AtomicInteger cycles = new AtomicInteger();
    private final AtomicInteger faultCount = new AtomicInteger();

    private static long setting(String property, long otherwise) {
        String text = System.getProperty(property);
        return text == null || text.isBlank() ? otherwise : Long.parseLong(text.trim());
    }

    private static int descriptors() {
        String[] fds = new File("/proc/self/fd").list();
        return fds == null ? -1 : fds.length;
    }

    private static void say(String text) {
        System.out.println("[many printers] " + text);
        System.out.flush();
    }

    @Test
    void twentyPrintersOnPortsOfTheirOwnUnderWritersCyclesAndFaults() throws Exception {
        long seconds = setting("prn.many.seconds", 60);
        long seed = setting("prn.many.seed", System.nanoTime());
        say("seed " + seed + " (repeat with -Dprn.many.seed=" + seed + "), " + seconds + " s");
        Random master = new Random(seed);
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            for (int i = 0; i < NETWORK_PRINTERS + SERIAL_PRINTERS; i++) {
                printers.add(new Printer(i, i < NETWORK_PRINTERS ? Connection.NETWORK
                        : Connection.SERIAL));
            }
            // A first claim and close on each library, so that what the JVM starts or opens on
            // first use is in the counts.
            for (Connection connection : List.of(Connection.NETWORK, Connection.SERIAL)) {
                Printer printer = printers.get(connection == Connection.NETWORK ? 0
                        : NETWORK_PRINTERS);
                NativePort port = openAndClaim(printer);
                port._closePort();
            }
            Set<Integer> namedBefore = NativeThreads.namedLikeCaller();
            int threadsBefore = NativeThreads.count();
            int descriptorsBefore = descriptors();

            List<Future<?>> opening = new ArrayList<>();
            for (Printer printer : printers) {
                opening.add(pool.submit(() -> printer.port.set(openAndClaim(printer))));
            }
            for (Future<?> open : opening) {
                open.get(60, TimeUnit.SECONDS);
            }
            printers.forEach(printer -> printer.process.clear());

            List<Thread> threads = new ArrayList<>();
            for (String name : WRITERS) {
                long writerSeed = master.nextLong();
                threads.add(new Thread(() -> write(new Random(writerSeed)), name));
            }
            long cyclerSeed = master.nextLong();
            threads.add(new Thread(() -> cycle(new Random(cyclerSeed)), "many-cycler"));
            for (int i = 1; i <= 2; i++) {
                long faultSeed = master.nextLong();
                threads.add(new Thread(() -> faults(new Random(faultSeed)), "many-faults-" + i));
            }
            long start = System.nanoTime();
            threads.forEach(Thread::start);
            Poll.until(Duration.ofSeconds(seconds), stop::get);
            stop.set(true);
            for (Thread thread : threads) {
                thread.join(60_000);
                if (thread.isAlive()) {
                    failures.add(thread.getName() + " still running 60 s after the end: "
                            + Arrays.toString(thread.getStackTrace()));
                }
            }
            say(jobs.size() + " jobs, " + cycles.get() + " ports closed and opened anew, "
                    + faultCount.get() + " faults in " + (System.nanoTime() - start) / 1_000_000
                    + " ms");

            for (Printer printer : printers) {
                printer.process.ok("cover close");
                if (printer.connection == Connection.SERIAL) {
                    printer.process.offline(false);
                } else {
                    printer.process.tcpMode("normal");
                }
            }
            List<Future<?>> closing = new ArrayList<>();
            for (Printer printer : printers) {
                closing.add(pool.submit(() -> printer.port.get()._closePort()));
            }
            for (Future<?> close : closing) {
                close.get(60, TimeUnit.SECONDS);
            }
            // The pool's own threads came after the first count.
            pool.shutdown();
            if (!pool.awaitTermination(30, TimeUnit.SECONDS)) {
                failures.add("the open and close pool did not end");
            }

            if (!Poll.until(SETTLE, () -> NativeThreads.count() <= threadsBefore)) {
                failures.add("native threads: " + threadsBefore + " before, "
                        + NativeThreads.count() + " after every close");
            }
            Set<Integer> named = new TreeSet<>(NativeThreads.named("many-cycler"));
            for (String writer : WRITERS) {
                named.addAll(NativeThreads.named(writer));
            }
            if (!named.isEmpty()) {
                failures.add("threads left named like the cycler or a writer: " + named);
            }
            if (!NativeThreads.namedLikeCaller().equals(namedBefore)) {
                failures.add("threads named like the test's own: " + namedBefore + " before, "
                        + NativeThreads.namedLikeCaller() + " after");
            }
            if (descriptors() != descriptorsBefore) {
                failures.add("descriptors of the JVM: " + descriptorsBefore + " before, "
                        + descriptors() + " after every close");
            }
            check();
        } finally {
            pool.shutdownNow();
            printers.forEach(printer -> printer.process.close());
        }
        if (!failures.isEmpty()) {
            List<String> all = new ArrayList<>(failures);
            all.forEach(failure -> say("FAILED: " + failure));
            throw new AssertionError(all.size() + " failure(s), seed " + seed + ":\n  "
                    + String.join("\n  ", all.subList(0, Math.min(all.size(), 40))));
        }
        say("all checks held");
    }

    /** A new instance, opened and claimed thermal; open but unclaimed if the printer refused. */
    private NativePort openAndClaim(Printer printer) {
        NativePort port = printer.connection.newPort();
        long opened = printer.connection.open(port, printer.process);
        if (opened == 0) {
            long claimed = port._claim(1000, true);
            if (claimed != 0) {
                failures.add("printer " + printer.id + ": _claim = " + claimed);
            }
        }
        return port;
    }

    private void write(Random random) {
        while (!stop.get()) {
            Printer printer = printers.get(random.nextInt(printers.size()));
            int id = printer.nextJob.incrementAndGet();
            byte[] job = NumberedJobs.job(printer.id, id, 5 + random.nextInt(56));
            NativePort port = printer.port.get();
            int result = port._writeData(job, job.length, 1000);
            jobs.add(new Job(printer.id, id, job, result));
            if (result > job.length || result < -2) {
                failures.add("printer " + printer.id + " job " + id + ": _writeData = " + result);
            }
            if (random.nextInt(8) == 0) {
                int status = port._getPrinterStatus(1000);
                if (status != 0 && status != 1 && status != 2 && status != 8 && status != 16) {
                    failures.add("printer " + printer.id + ": status " + status);
                }
            }
            pause(random.nextInt(15));
        }
    }

    /** Now and then one printer's port closed and a new instance opened in its place. */
    private void cycle(Random random) {
        while (!stop.get()) {
            pause(1000 + random.nextInt(2000));
            Printer printer = printers.get(random.nextInt(printers.size()));
            printer.port.get()._closePort();
            printer.port.set(openAndClaim(printer));
            cycles.incrementAndGet();
        }
    }

    /** Faults of a second or two on printers picked at random, then healthy again. */
    private void faults(Random random) {
        while (!stop.get()) {
            pause(800 + random.nextInt(1500));
            Printer printer = printers.get(random.nextInt(printers.size()));
            String begin;
            String end;
            if (printer.connection == Connection.NETWORK) {
                switch (random.nextInt(3)) {
                    case 0 -> { begin = "tcp drop"; end = null; }
                    case 1 -> { begin = "tcp reset"; end = null; }
                    default -> { begin = "cover open"; end = "cover close"; }
                }
            } else if (random.nextBoolean()) {
                begin = "offline on";
                end = "offline off";
            } else {
                begin = "cover open";
                end = "cover close";
            }
            printer.process.ok(begin);
            faultCount.incrementAndGet();
            if (end != null) {
                pause(500 + random.nextInt(1500));
                printer.process.ok(end);
            }
        }
    }

    private static void pause(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** What every printer received, against what every write returned. */
    private void check() {
        Map<Integer, List<Job>> byPrinter = new HashMap<>();
        for (Job job : jobs) {
            byPrinter.computeIfAbsent(job.printer(), p -> new ArrayList<>()).add(job);
        }
        int full = 0;
        int shortCounts = 0;
        int none = 0;
        for (Printer printer : printers) {
            List<Job> own = byPrinter.getOrDefault(printer.id, List.of());
            // The last job written in full has arrived once the printer holds it: all before it
            // went out first.
            Job lastFull = null;
            for (Job job : own) {
                if (job.result() == job.bytes().length
                        && (lastFull == null || job.id() > lastFull.id())) {
                    lastFull = job;
                }
            }
            if (lastFull != null && !printer.process.waitSequence(lastFull.bytes(), 1,
                    VirtualPrinterTest.ARRIVAL)) {
                failures.add("printer " + printer.id + ": its last full job " + lastFull.id()
                        + " never arrived");
            }
            byte[] received = printer.process.received();
            Map<Integer, List<NumberedJobs.Tag>> tagsOf = new HashMap<>();
            for (NumberedJobs.Tag tag : NumberedJobs.tags(received)) {
                if (tag.printer() != printer.id) {
                    failures.add("printer " + printer.id + " holds line " + tag.line() + " of job "
                            + tag.job() + " of printer " + tag.printer() + " at " + tag.at());
                } else {
                    tagsOf.computeIfAbsent(tag.job(), j -> new ArrayList<>()).add(tag);
                }
            }
            for (Job job : own) {
                List<NumberedJobs.Tag> tags = tagsOf.getOrDefault(job.id(), List.of());
                tagsOf.remove(job.id());
                int length = job.bytes().length;
                int arrived = job.result() <= 0 ? 0 : job.result();
                if (job.result() == length) {
                    full++;
                } else if (arrived > 0) {
                    shortCounts++;
                } else {
                    none++;
                }
                // The lines whose tag lies within what the write reported, each once.
                int lines = arrived / LINE + (arrived % LINE >= TAG ? 1 : 0);
                List<Integer> expected = new ArrayList<>();
                for (int line = 0; line < lines; line++) {
                    expected.add(line);
                }
                List<Integer> found = tags.stream().map(NumberedJobs.Tag::line).toList();
                String what = "printer " + printer.id + " job " + job.id() + " (" + length
                        + " bytes, _writeData " + job.result() + ")";
                if (!found.equals(expected)) {
                    failures.add(what + ": lines found " + found + ", expected " + lines
                            + " lines once each");
                    continue;
                }
                if (arrived >= TAG) {
                    int at = tags.get(0).at();
                    boolean whole = at + arrived <= received.length && Arrays.equals(received, at,
                            at + arrived, job.bytes(), 0, arrived);
                    if (!whole) {
                        failures.add(what + ": its first " + arrived + " bytes are not unbroken"
                                + " at " + at);
                    }
                }
            }
            for (Map.Entry<Integer, List<NumberedJobs.Tag>> unknown : tagsOf.entrySet()) {
                failures.add("printer " + printer.id + " holds lines of job " + unknown.getKey()
                        + " that no write sent");
            }
        }
        say(full + " jobs written in full, " + shortCounts + " short, " + none
                + " refused or on a closed port");
        if (full == 0) {
            failures.add("no job was written in full");
        }
    }
}
