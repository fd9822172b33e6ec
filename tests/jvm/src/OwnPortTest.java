import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.NativePort;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.EnumSource;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Two printers of one library in one JVM, each on a port of its own (the port class's {@code
 * newPort()}), on every cable: what one printer reports, receives or suffers never shows on the
 * other; an own port beside the shared one; and an instance kept after its close.
 */
class OwnPortTest {
    private static final Duration ARRIVAL = VirtualPrinterTest.ARRIVAL;
    private static final Duration STATUS_CHANGE = VirtualPrinterTest.STATUS_CHANGE;
    /** A call that must return without the other printer's help: room for a busy machine. */
    private static final long CALL_BOUND_S = 30;
    /** A 16 KiB job to a printer that takes it at once: well under a second when nothing waits. */
    private static final long JOB_ON_TIME_MS = 10_000;
    private static final byte[] ENABLE = VirtualPrinterTest.ENABLE_AUTO_STATUS;

    private static ExecutorService threads;
    private final List<VirtualPrinterProcess> printers = new ArrayList<>();
    private final List<NativePort> opened = new ArrayList<>();

    @BeforeAll
    static void load() {
        Connection.loadAll();
        threads = Executors.newCachedThreadPool();
    }

    @AfterAll
    static void stopThreads() {
        threads.shutdownNow();
    }

    @AfterEach
    void closeEverything() {
        try {
            for (NativePort port : opened) {
                port._closePort();
            }
        } finally {
            printers.forEach(VirtualPrinterProcess::close);
        }
    }

    private VirtualPrinterProcess printer(Connection connection) {
        VirtualPrinterProcess printer = connection.startPrinter();
        printers.add(printer);
        return printer;
    }

    /** Opens {@code port} on a ready printer; closed after the test. */
    private NativePort open(Connection connection, NativePort port, VirtualPrinterProcess printer) {
        opened.add(port);
        assertEquals(0, connection.open(port, printer), connection + ": _openPort");
        return port;
    }

    /** An own port opened and claimed thermal on {@code printer}, with its status live. */
    private NativePort claimed(Connection connection, VirtualPrinterProcess printer) {
        NativePort port = open(connection, connection.newPort(), printer);
        assertEquals(0, port._claim(1000, true), connection + ": _claim(1000, true)");
        assertTrue(printer.waitSequence(ENABLE, 1, ARRIVAL), "GS a 255 after the claim");
        assertStatus(port, 0, "the claim");
        return port;
    }

    private static void assertStatus(NativePort port, int expected, String after) {
        assertEquals(expected, Poll.untilEquals(STATUS_CHANGE, expected,
                () -> port._getPrinterStatus(1000)), "_getPrinterStatus after " + after);
    }

    private static int write(NativePort port, byte[] job) {
        return port._writeData(job, job.length, 1000);
    }

    private static <T> T within(Future<T> call, long seconds, String what) {
        try {
            return call.get(seconds, TimeUnit.SECONDS);
        } catch (java.util.concurrent.TimeoutException e) {
            throw new AssertionError(what + " did not return within " + seconds + " s");
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError("interrupted waiting for " + what);
        } catch (java.util.concurrent.ExecutionException e) {
            throw new AssertionError(what + " failed", e.getCause());
        }
    }

    /** The job is on {@code printer} exactly once, whole, and nothing of it on {@code other}. */
    private static void assertOnlyOn(byte[] job, VirtualPrinterProcess printer,
            VirtualPrinterProcess other, String what) {
        assertTrue(printer.waitSequence(job, 1, ARRIVAL), what + " whole on its printer");
        byte[] received = printer.received();
        assertEquals(1, NumberedJobs.count(received, job), what + " times on its printer");
        byte[] firstLine = java.util.Arrays.copyOf(job, 48);
        assertEquals(0, NumberedJobs.count(other.received(), firstLine), what
                + ": its first line on the other printer");
    }

    // ---- two printers of one library ----

    @ParameterizedTest
    @EnumSource(Connection.class)
    void twoPrintersKeepTheirOwnStatusJobsDrawerAndCompletionWaits(Connection connection) {
        VirtualPrinterProcess pa = printer(connection);
        VirtualPrinterProcess pb = printer(connection);
        NativePort a = claimed(connection, pa);
        NativePort b = claimed(connection, pb);

        // Status: the cover of one, seen on that one only.
        List<Integer> otherSaw = new ArrayList<>();
        pa.coverOpen(true);
        boolean seen = Poll.until(STATUS_CHANGE, () -> {
            int other = b._getPrinterStatus(1000);
            if (other != 0) {
                otherSaw.add(other);
            }
            return a._getPrinterStatus(1000) == 1;
        });
        assertTrue(seen, "cover open on a's printer: a reports " + a._getPrinterStatus(1000));
        // One more pass of b's monitor with a's cover still open.
        Poll.until(Duration.ofMillis(800), () -> {
            int other = b._getPrinterStatus(1000);
            if (other != 0) {
                otherSaw.add(other);
            }
            return false;
        });
        assertEquals(List.of(), otherSaw, "b's status while a's cover was open");
        assertEquals(-2, write(a, Bytes.of('x', '\n')), "_writeData on a with its cover open");
        pa.coverOpen(false);
        assertStatus(a, 0, "a's cover closed");

        // Jobs: one on each at the same time, each whole and once on its own printer.
        byte[] jobA = NumberedJobs.job(1, 1, 200);
        byte[] jobB = NumberedJobs.job(2, 1, 200);
        Future<Integer> writeA = threads.submit(() -> write(a, jobA));
        Future<Integer> writeB = threads.submit(() -> write(b, jobB));
        assertEquals(jobA.length, within(writeA, CALL_BOUND_S, "a's _writeData"), "a's count");
        assertEquals(jobB.length, within(writeB, CALL_BOUND_S, "b's _writeData"), "b's count");
        assertOnlyOn(jobA, pa, pb, "a's job");
        assertOnlyOn(jobB, pb, pa, "b's job");

        // Drawer: a's open drawer is a's alone, and each kick pulses its own printer.
        pa.drawerOpen(true);
        assertTrue(Poll.until(STATUS_CHANGE, () -> a._getCashDrawerStatus(1000) != 0),
                "a's drawer status after its drawer opened");
        assertEquals(0, b._getCashDrawerStatus(1000), "b's drawer status");
        Future<Integer> kickA = threads.submit(() -> a._OpenDrawer(5, 100, 100));
        Future<Integer> kickB = threads.submit(() -> b._OpenDrawer(2, 100, 100));
        assertEquals(0, within(kickA, CALL_BOUND_S, "a's _OpenDrawer"), "a's _OpenDrawer");
        assertEquals(0, within(kickB, CALL_BOUND_S, "b's _OpenDrawer"), "b's _OpenDrawer");
        assertEquals(List.of(5), pins(pa.pulses()), "pulses on a's printer: " + pa.pulses());
        assertEquals(List.of(2), pins(pb.pulses()), "pulses on b's printer: " + pb.pulses());
        pa.drawerOpen(false);
        assertTrue(Poll.until(STATUS_CHANGE, () -> a._getCashDrawerStatus(1000) == 0),
                "a's drawer status after its drawer closed");

        // Completion: a's printer answers nothing, b's wait ends all the same.
        pa.silent(true);
        Future<Boolean> waitA = threads.submit(() -> a._WaitForCompletePrinting(0));
        Future<Boolean> waitB = threads.submit(() -> b._WaitForCompletePrinting(0));
        assertTrue(within(waitB, CALL_BOUND_S, "b's completion wait"),
                "b's completion wait while a's printer is silent");
        assertFalse(Poll.until(Duration.ofSeconds(1), waitA::isDone),
                "a's completion wait ended while its printer answered nothing");
        // Closing a ends its wait (false), and leaves b as it was.
        a._closePort();
        assertFalse(within(waitA, CALL_BOUND_S, "a's completion wait after a's close"),
                "a's completion wait after the close");
        pa.silent(false);
        assertEquals(0, b._getPrinterStatus(1000), "b's status after a's close");
        byte[] after = NumberedJobs.job(2, 2, 3);
        assertEquals(after.length, write(b, after), "b's _writeData after a's close");
        assertOnlyOn(after, pb, pa, "b's job after a's close");
        assertTrue(within(threads.submit(() -> b._WaitForCompletePrinting(0)), CALL_BOUND_S,
                "b's completion wait after a's close"), "b's completion wait after a's close");
    }

    /** The pins of "pin:on:off,..." as the printer lists its pulses. */
    private static List<Integer> pins(String pulses) {
        List<Integer> pins = new ArrayList<>();
        for (String pulse : pulses.trim().split(",")) {
            if (!pulse.isBlank()) {
                pins.add(Integer.parseInt(pulse.split(":")[0].trim()));
            }
        }
        return pins;
    }

    /** A close of one, with its release wait, while the other's slow job is on its way. */
    @ParameterizedTest
    @EnumSource(Connection.class)
    void closeOfOneDuringTheOthersJobLeavesThatJobWhole(Connection connection) {
        VirtualPrinterProcess pa = printer(connection);
        VirtualPrinterProcess pb = printer(connection);
        NativePort a = claimed(connection, pa);
        NativePort b = claimed(connection, pb);
        // About two seconds of printing: the job is still going when a's close begins.
        connection.slow(pb, 4000);
        byte[] job = NumberedJobs.job(2, 7, 160);
        Future<Integer> writeB = threads.submit(() -> write(b, job));
        assertTrue(pb.waitSequence(java.util.Arrays.copyOf(job, 48), 1, ARRIVAL),
                "the first line of b's job before a's close");
        a._closePort();
        assertEquals(job.length, within(writeB, CALL_BOUND_S, "b's _writeData"),
                "b's _writeData across a's close");
        assertTrue(pb.waitSequence(job, 1, Duration.ofSeconds(20)), "b's job whole");
        assertEquals(1, NumberedJobs.count(pb.received(), job), "b's job on b's printer");
        assertEquals(List.of(), NumberedJobs.tags(pa.received()),
                "lines on a's printer (nothing was written to a)");
    }

    static Stream<Arguments> faults() {
        return Stream.of(Connection.values()).flatMap(connection -> connection.faults().stream()
                .map(fault -> Arguments.of(connection, fault)));
    }

    /** One printer stops while both are printing: the other's job is whole and on time. */
    @ParameterizedTest(name = "{0} {1}")
    @MethodSource("faults")
    void faultOnOnePrinterLeavesTheOthersJobWholeAndOnTime(Connection connection,
            Connection.Fault fault) {
        VirtualPrinterProcess pa = printer(connection);
        VirtualPrinterProcess pb = printer(connection);
        NativePort a = claimed(connection, pa);
        NativePort b = claimed(connection, pb);

        AtomicBoolean stop = new AtomicBoolean();
        Future<Integer> writerA = threads.submit(() -> {
            int jobs = 0;
            while (!stop.get()) {
                write(a, NumberedJobs.job(1, ++jobs, 20));
            }
            return jobs;
        });
        byte[] job = NumberedJobs.job(2, 1, 340);
        try {
            fault.begin(pa);
            Timing.Timed timed = Timing.time(() -> within(threads.submit(() -> write(b, job)),
                    CALL_BOUND_S, "b's _writeData"));
            assertEquals(job.length, timed.result(), "b's _writeData while a's printer is "
                    + fault);
            assertTrue(timed.millis() < JOB_ON_TIME_MS, "b's " + job.length + "-byte job took "
                    + timed.millis() + " ms while a's printer was " + fault);
            assertTrue(pb.waitSequence(job, 1, ARRIVAL), "b's job whole");
        } finally {
            fault.end(pa);
            stop.set(true);
        }
        within(writerA, CALL_BOUND_S, "a's writer");
        assertEquals(1, NumberedJobs.count(pb.received(), job), "b's job on b's printer");
        assertEquals(List.of(), NumberedJobs.foreign(pb.received(), 2), "a's lines on b's printer");
        assertEquals(List.of(), NumberedJobs.foreign(pa.received(), 1), "b's lines on a's printer");
    }

    // ---- the shared port beside ports of their own ----

    @ParameterizedTest
    @EnumSource(Connection.class)
    void sharedAndOwnPortsEachActOnTheirOwnPrinter(Connection connection) {
        VirtualPrinterProcess pa = printer(connection);
        VirtualPrinterProcess pb = printer(connection);
        NativePort shared = open(connection, connection.sharedPort(), pa);
        NativePort own = open(connection, connection.newPort(), pb);
        NativePort sameShared = connection.sharedPort();

        byte[] viaShared = NumberedJobs.job(1, 1, 20);
        byte[] viaOwn = NumberedJobs.job(2, 1, 20);
        byte[] viaSameShared = NumberedJobs.job(1, 2, 20);
        assertEquals(viaShared.length, write(shared, viaShared), "the shared instance's write");
        assertEquals(viaOwn.length, write(own, viaOwn), "the own instance's write");
        assertEquals(viaSameShared.length, write(sameShared, viaSameShared),
                "a second public-constructor instance's write (never opened itself)");
        assertOnlyOn(viaShared, pa, pb, "the shared instance's job");
        assertOnlyOn(viaSameShared, pa, pb, "the second shared instance's job");
        assertOnlyOn(viaOwn, pb, pa, "the own instance's job");

        // Claimed through one shared instance, the status shows through the other.
        assertEquals(0, sameShared._claim(1000, true), "_claim through the second instance");
        assertTrue(pa.waitSequence(ENABLE, 1, ARRIVAL), "GS a 255 on the shared printer");
        pa.coverOpen(true);
        assertStatus(shared, 1, "the shared printer's cover opened");
        assertEquals(0, own._getPrinterStatus(1000), "the own port's status");
        pa.coverOpen(false);
        assertStatus(sameShared, 0, "the shared printer's cover closed");

        // A close through either closes the shared port, not the own one.
        sameShared._closePort();
        assertEquals(-1, write(shared, Bytes.of('x')), "the shared instance after the close");
        byte[] last = NumberedJobs.job(2, 2, 2);
        assertEquals(last.length, write(own, last), "the own instance after the shared close");
        assertOnlyOn(last, pb, pa, "the own instance's job after the shared close");
    }

    // ---- an instance kept after its close ----

    /**
     * What every call returns on a port that is not open, as the shared port gives it; the
     * drawer kick and the completion wait are quick there.
     */
    private static List<Long> closedAnswers(NativePort port) {
        byte[] rbuf = new byte[16];
        return List.of(
                (long) port._writeData(Bytes.of('z', '\n'), 2, 1000),
                (long) port._readData(rbuf, rbuf.length, 0),
                (long) port._getPrinterStatus(1000),
                (long) port._getCashDrawerStatus(1000),
                (long) port._OpenDrawer(2, 100, 100),
                port._WaitForCompletePrinting(0) ? 1L : 0L);
    }

    @ParameterizedTest
    @EnumSource(Connection.class)
    void closedInstanceActsAsAClosedPortAndNeverReachesALaterPrinter(Connection connection) {
        List<Long> closedShared = closedAnswers(connection.sharedPort());
        List<Long> neverOpened = closedAnswers(connection.newPort());
        assertEquals(closedShared, neverOpened, "a new own instance against the closed shared port"
                + " (write, read, status, drawer, kick, completion)");

        VirtualPrinterProcess first = printer(connection);
        VirtualPrinterProcess later = printer(connection);
        NativePort stale = open(connection, connection.newPort(), first);
        stale._closePort();
        NativePort other = open(connection, connection.newPort(), later);
        first.clear();
        later.clear();

        assertEquals(closedShared, closedAnswers(stale), "the closed instance against the closed"
                + " shared port (write, read, status, drawer, kick, completion)");
        byte[] marker = Bytes.of('#', '\n');
        assertEquals(marker.length, write(other, marker), "the later port's write");
        assertTrue(later.waitBytes(marker.length, ARRIVAL), "the later port's marker");
        assertArrayEquals(marker, later.received(),
                "the later printer: only its own port's marker");
        assertArrayEquals(new byte[0], first.received(), "the first printer after its close");
    }
}
