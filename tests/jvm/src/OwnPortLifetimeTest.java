import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.NativePort;
import java.io.File;
import java.lang.reflect.Field;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Ports of their own taken and given back: a thousand open and close rounds leave the JVM's
 * threads and descriptors as they were; at most {@link NativePort#MAX_OWN_PORTS} are open at
 * once; and a handle given back names nothing, even once its slot is given out again.
 */
class OwnPortLifetimeTest {
    private static final int CYCLES = 1000;
    /** Every so many rounds a thermal claim too, so that monitors come and go as well. */
    private static final int CLAIM_EVERY = 100;
    /** The rounds on a busy machine: a few ms each normally. */
    private static final long CYCLES_BOUND_MS = 50_000;
    /** Longer than a thread takes to leave the kernel's list once it has ended. */
    private static final Duration SETTLE = Duration.ofSeconds(3);
    /** Printers the limit's ports are opened on, each from a thread of its own. */
    private static final int PRINTERS = 16;
    /** Rounds of an open racing a close: the window is narrow, so many. */
    private static final int RACES = 120;

    @BeforeAll
    static void load() {
        Connection.loadAll();
    }

    private static int descriptors() {
        String[] fds = new File("/proc/self/fd").list();
        return fds == null ? -1 : fds.length;
    }

    /** The instance's port handle, as the library wrote it. */
    private static long handle(NativePort port) {
        try {
            return handleField(port).getLong(port);
        } catch (IllegalAccessException e) {
            throw new AssertionError(e);
        }
    }

    /** Puts back a handle the library has since given back, as a stale copy would hold it. */
    private static void forge(NativePort port, long handle) {
        try {
            handleField(port).setLong(port, handle);
        } catch (IllegalAccessException e) {
            throw new AssertionError(e);
        }
    }

    private static Field handleField(NativePort port) {
        try {
            Field field = port.getClass().getDeclaredField("portHandle");
            field.setAccessible(true);
            return field;
        } catch (NoSuchFieldException e) {
            throw new AssertionError(e);
        }
    }

    @Test
    void thousandOpenCloseRoundsLeaveThreadsAndDescriptorsAsTheyWere() {
        Connection connection = Connection.NETWORK;
        try (VirtualPrinterProcess printer = connection.startPrinter()) {
            // One round with a claim first, so that whatever the JVM starts or opens on first
            // use is counted.
            List<String> faults = new ArrayList<>();
            round(connection, printer, -1, true, faults);
            Set<Integer> namedBefore = NativeThreads.namedLikeCaller();
            int threadsBefore = NativeThreads.count();
            int descriptorsBefore = descriptors();
            int connectionsBefore = printer.connections();

            Timing.Timed rounds = Timing.time(() -> {
                for (int i = 0; i < CYCLES; i++) {
                    round(connection, printer, i, i % CLAIM_EVERY == 0, faults);
                }
            });
            assertEquals(List.of(), faults);
            assertTrue(rounds.millis() < CYCLES_BOUND_MS, CYCLES + " rounds took "
                    + rounds.millis() + " ms");
            assertTrue(Poll.until(SETTLE,
                    () -> NativeThreads.namedLikeCaller().equals(namedBefore)),
                    "threads named like the opener: " + namedBefore + " before, "
                            + NativeThreads.namedLikeCaller() + " after");
            assertTrue(Poll.until(SETTLE, () -> NativeThreads.count() <= threadsBefore),
                    "native threads: " + threadsBefore + " before, " + NativeThreads.count()
                            + " after");
            assertEquals(descriptorsBefore, descriptors(), "descriptors of the JVM");
            assertEquals(connectionsBefore + CYCLES, printer.connections(),
                    "connections the printer accepted: one per open");
            System.out.println(CYCLES + " open and close rounds in " + rounds.millis() + " ms");
        }
    }

    private static void round(Connection connection, VirtualPrinterProcess printer, int i,
            boolean claim, List<String> faults) {
        NativePort port = connection.newPort();
        long opened = connection.open(port, printer);
        if (opened != 0) {
            faults.add("round " + i + ": _openPort = " + opened);
            return;
        }
        if (claim && port._claim(1000, true) != 0) {
            faults.add("round " + i + ": _claim failed");
        }
        port._closePort();
        if (handle(port) != NativePort.NO_PORT) {
            faults.add("round " + i + ": handle " + handle(port) + " after _closePort");
        }
    }

    /**
     * An open and a close of one instance at once, in either order: whichever goes second, the
     * instance ends with at most one port, opens again, and its last close leaves no descriptor
     * open (an open that ran just after the close must not open the port the close is giving
     * back).
     */
    @Test
    void anOpenRacingACloseOfTheSameInstanceLeavesNothingOpen() throws Exception {
        Connection connection = Connection.NETWORK;
        ExecutorService racers = Executors.newFixedThreadPool(2);
        try (VirtualPrinterProcess printer = connection.startPrinter()) {
            List<String> faults = new ArrayList<>();
            round(connection, printer, -1, false, faults);
            int descriptorsBefore = descriptors();
            for (int i = 0; i < RACES && faults.isEmpty(); i++) {
                NativePort port = connection.newPort();
                assertEquals(0, connection.open(port, printer), "_openPort before the race");
                java.util.concurrent.CountDownLatch go = new java.util.concurrent.CountDownLatch(1);
                Future<?> closing = racers.submit(() -> {
                    go.await();
                    port._closePort();
                    return null;
                });
                Future<Long> opening = racers.submit(() -> {
                    go.await();
                    return connection.open(port, printer);
                });
                go.countDown();
                closing.get(30, TimeUnit.SECONDS);
                long reopened = opening.get(30, TimeUnit.SECONDS);
                // A close announced while the open asks the printer ends that open (-1).
                if (reopened != 0 && reopened != -1) {
                    faults.add("race " + i + ": _openPort = " + reopened);
                }
                port._closePort();
                if (connection.open(port, printer) != 0) {
                    faults.add("race " + i + ": the instance opens no more");
                }
                port._closePort();
                if (handle(port) != NativePort.NO_PORT) {
                    faults.add("race " + i + ": handle " + handle(port) + " after _closePort");
                }
                if (descriptors() != descriptorsBefore) {
                    faults.add("race " + i + ": " + descriptors() + " descriptors, "
                            + descriptorsBefore + " before");
                }
            }
            assertEquals(List.of(), faults);
        } finally {
            racers.shutdownNow();
        }
    }

    /**
     * All own ports open at once: the next open is refused with NO_PORT_LEFT and holds nothing;
     * a handle given back before them names nothing, though its slot is in use again; one close
     * makes room for one open. A USB open asks the printer twice and waits 200 ms for each
     * answer, so the ports are opened on {@link #PRINTERS} printers at once, as many on each.
     */
    @Test
    void openPortsRunOutAtTheLimitAndAStaleHandleNamesNoneOfThem() throws Exception {
        Connection connection = Connection.USB;
        List<VirtualPrinterProcess> printers = new ArrayList<>();
        List<NativePort> ports = java.util.Collections.synchronizedList(new ArrayList<>());
        ExecutorService openers = Executors.newFixedThreadPool(PRINTERS);
        try {
            VirtualPrinterProcess first = connection.startPrinter();
            printers.add(first);
            for (int i = 0; i < PRINTERS; i++) {
                printers.add(connection.startPrinter());
            }
            List<VirtualPrinterProcess> many = printers.subList(1, printers.size());
            NativePort stale = connection.newPort();
            assertEquals(0, connection.open(stale, first), "_openPort on the first printer");
            long given = handle(stale);
            stale._closePort();
            assertEquals(NativePort.NO_PORT, handle(stale), "handle after _closePort");

            List<Future<List<Long>>> opening = new ArrayList<>();
            for (VirtualPrinterProcess printer : many) {
                opening.add(openers.submit(() -> {
                    List<Long> results = new ArrayList<>();
                    for (int i = 0; i < NativePort.MAX_OWN_PORTS / PRINTERS; i++) {
                        NativePort port = connection.newPort();
                        long result = connection.open(port, printer);
                        results.add(result);
                        if (result == 0) {
                            ports.add(port);
                        }
                    }
                    return results;
                }));
            }
            for (Future<List<Long>> results : opening) {
                List<Long> got = results.get(120, TimeUnit.SECONDS);
                assertEquals(java.util.Collections.nCopies(got.size(), 0L), got,
                        "_openPort results on one printer");
            }
            assertEquals(NativePort.MAX_OWN_PORTS, ports.size(), "own ports open");
            Set<Long> handles = new HashSet<>();
            ports.forEach(port -> handles.add(handle(port)));
            assertEquals(NativePort.MAX_OWN_PORTS, handles.size(), "distinct handles");
            assertTrue(!handles.contains(given), "a handle given back was given out again");

            NativePort oneTooMany = connection.newPort();
            Timing.Timed refused = Timing.time(() -> connection.open(oneTooMany, many.get(0)));
            assertEquals(NativePort.NO_PORT_LEFT, refused.result(),
                    "_openPort with " + NativePort.MAX_OWN_PORTS + " own ports open");
            Timing.assertQuick(refused, "the refused _openPort");
            assertEquals(NativePort.NO_PORT, handle(oneTooMany), "handle of the refused open");
            assertEquals(-1, oneTooMany._writeData(Bytes.of('r', '\n'), 2, 1000),
                    "_writeData on the refused instance");

            // The stale handle's slot is one of the open ones now, under a new generation.
            forge(stale, given);
            printers.forEach(VirtualPrinterProcess::clear);
            byte[] strayed = Bytes.of('s', 't', 'a', 'l', 'e', '\n');
            assertEquals(-1, stale._writeData(strayed, strayed.length, 1000),
                    "_writeData on a handle given back");
            assertEquals(0, stale._getPrinterStatus(1000), "status on a handle given back");
            stale._closePort(); // closes nothing: the handle names no port
            // A marker through every open port: each printer gets its ports' markers and
            // nothing else.
            byte[] marker = Bytes.of('#', '\n');
            for (NativePort port : ports) {
                assertEquals(marker.length, port._writeData(marker, marker.length, 1000),
                        "_writeData of the marker on handle " + handle(port));
            }
            int perPrinter = NativePort.MAX_OWN_PORTS / PRINTERS;
            for (VirtualPrinterProcess printer : many) {
                assertTrue(printer.waitBytes(perPrinter * marker.length,
                        VirtualPrinterTest.ARRIVAL), "markers");
                assertEquals(new String(marker).repeat(perPrinter),
                        new String(printer.received()), "a printer of the open ports");
            }
            assertArrayEquals(new byte[0], first.received(), "the stale handle's own printer");

            NativePort freed = ports.remove(100);
            freed._closePort();
            assertEquals(0, connection.open(oneTooMany, many.get(0)), "_openPort after one close");
            ports.add(oneTooMany);
            assertNotEquals(NativePort.NO_PORT, handle(oneTooMany));
            assertEquals(NativePort.NO_PORT_LEFT, connection.open(connection.newPort(),
                    many.get(0)), "_openPort again at the limit");
        } finally {
            openers.shutdownNow();
            ports.forEach(NativePort::_closePort);
            for (VirtualPrinterProcess printer : printers) {
                assertEquals(0, OpenDescriptors.countFor(printer.device()),
                        "descriptors on a printer once every port is closed");
                printer.close();
            }
        }
    }
}
