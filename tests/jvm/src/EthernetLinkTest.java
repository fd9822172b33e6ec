import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Arrays;
import java.util.function.BooleanSupplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * libprnnet.so in this JVM, every native through its Java signature, against a network printer
 * process on a loopback port: the open results, a whole session (claim, status, print, drawer,
 * completion, close), losing the connection and getting it back on the next write, and a close
 * that leaves no thread and no socket.
 */
class EthernetLinkTest {
    private static final Duration ARRIVAL = Duration.ofSeconds(5);
    private static final Duration STATUS_CHANGE = Duration.ofSeconds(4);
    private static final byte[] ENABLE_AUTO_STATUS = Bytes.of(0x1D, 0x61, 0xFF);
    private static final String ADDRESS = "SOCKET:127.0.0.1";

    private final JNativeCommonPort4LinuxEthernet port = new JNativeCommonPort4LinuxEthernet();
    private VirtualPrinterProcess printer;
    private boolean portOpen;

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.net");
    }

    @BeforeEach
    void startPrinter() {
        printer = VirtualPrinterProcess.tcp("--net-model");
    }

    @AfterEach
    void closeEverything() {
        try {
            if (portOpen) {
                port._closePort();
            }
        } finally {
            printer.close();
        }
    }

    private long open(String address) {
        long result = port._openPort(address, Integer.toString(printer.port()));
        portOpen = result == 0;
        return result;
    }

    private void openAndClaim(boolean thermal) {
        assertEquals(0, open(ADDRESS), "_openPort");
        printer.clear();
        Timing.Timed claim = Timing.time(() -> port._claim(1000, thermal));
        assertEquals(0, claim.result(), "_claim");
        Timing.assertAbout(500, claim, "_claim");
        assertTrue(printer.waitSequence(ENABLE_AUTO_STATUS, 1, ARRIVAL), "GS a FF from the monitor");
        assertStatus(0, "the claim");
    }

    private void closePort() {
        port._closePort();
        portOpen = false;
    }

    private int write(byte[] data) {
        return port._writeData(data, data.length, 1000);
    }

    private int connections() {
        return Integer.parseInt(printer.ok("connections").trim());
    }

    private void assertStatus(int expected, String after) {
        assertTrue(waitUntil(STATUS_CHANGE, () -> port._getPrinterStatus(0) == expected),
                "_getPrinterStatus after " + after + ": " + port._getPrinterStatus(0)
                        + ", expected " + expected);
    }

    private static byte[] job(int length, char fill) {
        byte[] job = new byte[length];
        Arrays.fill(job, (byte) fill);
        return job;
    }

    @Test
    void openResults() {
        assertEquals(1, port._claim(1000, true), "_claim before any open");
        for (String address : new String[] {"127.0.0.1", "socket:127.0.0.1",
                ADDRESS + ":" + printer.port(), "SOCKET:" + "1".repeat(64)}) {
            assertEquals(-1, open(address), "_openPort(\"" + address + "\")");
        }
        assertEquals(0, connections(), "connections for refused address texts");

        printer.reply2(Bytes.of(0x16));
        assertEquals(1, open(ADDRESS), "_openPort, DLE EOT 2 says cover open");
        printer.reply2(Bytes.of(0x12));
        printer.reply4(Bytes.of(0x72));
        assertEquals(2, open(ADDRESS), "_openPort, DLE EOT 4 says paper end");
        printer.ok("reply4 auto");
        printer.clear();
        assertEquals(0, open(ADDRESS), "_openPort on a ready printer");
        assertArrayEquals(Bytes.concat(Bytes.DLE_EOT_2, Bytes.DLE_EOT_4), printer.received(),
                "the open-time probe");
        closePort();

        printer.tcpMode("silent");
        Timing.Timed silent = Timing.time(() -> open(ADDRESS));
        assertEquals(-1, silent.result(), "_openPort on a printer that never answers");
        Timing.assertAbout(1200, silent, "_openPort on a silent printer");
        printer.tcpMode("refuse");
        Timing.Timed refused = Timing.time(() -> open(ADDRESS));
        assertEquals(-1, refused.result(), "_openPort with nothing listening");
        assertTrue(refused.millis() <= 1000 * 14 / 10 + 150, "refused open took "
                + refused.millis() + " ms");
    }

    @Test
    void aWholeSession() {
        assertEquals(0, open(ADDRESS), "_openPort");
        // Before the claim nobody else reads the connection.
        byte[] buffer = new byte[64];
        Timing.Timed quiet = Timing.time(() -> port._readData(buffer, buffer.length, 1000));
        assertEquals(0, quiet.result(), "_readData with nothing sent");
        Timing.assertAbout(200, quiet, "_readData with nothing sent");
        printer.send(Bytes.of(0x0D, 0x00, 0x41));
        int[] got = {0};
        assertTrue(waitUntil(ARRIVAL, () -> (got[0] = port._readData(buffer, 64, 1000)) != 0));
        assertEquals(3, got[0], "_readData count");
        assertArrayEquals(Bytes.of(0x0D, 0x00, 0x41), Arrays.copyOf(buffer, 3));

        printer.clear();
        assertEquals(0, port._claim(1000, true), "thermal _claim");
        assertTrue(printer.waitSequence(ENABLE_AUTO_STATUS, 1, ARRIVAL), "GS a FF");
        assertStatus(0, "the claim");

        byte[] receipt = "network receipt\n".getBytes(StandardCharsets.US_ASCII);
        assertEquals(receipt.length, write(receipt), "_writeData");
        assertTrue(port._WaitForCompletePrinting(10000), "_WaitForCompletePrinting");
        assertTrue(printer.waitSequence(receipt, 1, ARRIVAL), "the receipt");

        Timing.Timed kick = Timing.time(() -> port._OpenDrawer(2, 100, 200));
        assertEquals(0, kick.result(), "_OpenDrawer(2, 100, 200)");
        Timing.assertAbout(2000, kick, "_OpenDrawer");
        assertEquals(1, printer.count(Bytes.of(0x1B, 0x70, 0x30, 0x32, 0x64)), "ESC p to pin 2");
        assertEquals(1, port._OpenDrawer(1, 100, 100), "_OpenDrawer on pin 1");
        printer.drawerOpen(true);
        assertTrue(waitUntil(STATUS_CHANGE, () -> port._getCashDrawerStatus(0) == 1),
                "_getCashDrawerStatus with the drawer open");
        printer.drawerOpen(false);
        assertTrue(waitUntil(STATUS_CHANGE, () -> port._getCashDrawerStatus(0) == 0),
                "_getCashDrawerStatus with the drawer closed");

        printer.coverOpen(true);
        assertStatus(1, "cover open");
        byte[] refused = "refused".getBytes(StandardCharsets.US_ASCII);
        assertEquals(-2, write(refused), "_writeData with the cover open");
        printer.coverOpen(false);
        assertStatus(0, "cover closed");
        printer.paper("end");
        assertStatus(2, "paper end");
        printer.paper("ok");
        assertStatus(0, "paper loaded");
        assertEquals(0, printer.count(refused), "the refused job reached the printer");
        assertEquals(0, port._WaitForUntilDrawerClose(true));
        port._release();
        Timing.Timed closing = Timing.time(this::closePort);
        assertTrue(closing.millis() < 1500, "_closePort took " + closing.millis() + " ms");
        assertEquals(1, connections(), "one connection for the whole session");
    }

    /** A reset connection fails the monitor's receive: offline until the next write. */
    @Test
    void resetConnectionIsOfflineUntilTheNextWriteReconnects() {
        openAndClaim(true);
        printer.tcpMode("reset");
        assertStatus(8, "the printer reset the connection");
        printer.clear();
        byte[] job = job(400, 'r');
        Timing.Timed timed = Timing.time(() -> write(job));
        assertEquals(job.length, timed.result(), "the reconnecting _writeData");
        Timing.assertAbout(1500, timed, "the reconnecting _writeData");
        assertEquals(2, connections());
        assertTrue(printer.waitSequence(job, 1, ARRIVAL), "the job on the new connection");
        assertEquals(1, printer.count(job), "the job exactly once");
        assertEquals(1, printer.count(ENABLE_AUTO_STATUS), "GS a FF from the new monitor");
        assertStatus(0, "the reconnection");
        assertTrue(port._WaitForCompletePrinting(10000), "completion on the new connection");
    }

    /**
     * A connection the printer closes in order ends the monitor's receive with the end of the
     * stream, which does not count as a lost link: the status stays what the printer last
     * reported. The next write still finds the connection closed and reconnects.
     */
    @Test
    void droppedConnectionIsReconnectedByTheNextWrite() {
        openAndClaim(true);
        printer.tcpMode("drop");
        // Nothing replaces the connection by itself: offline until the next write reconnects.
        assertTrue(waitUntil(Duration.ofMillis(2000), () -> port._getPrinterStatus(0) == 8),
                "status after the drop: " + port._getPrinterStatus(0));
        printer.clear();
        byte[] job = job(300, 'd');
        assertEquals(job.length, write(job), "the reconnecting _writeData");
        assertEquals(2, connections());
        assertTrue(printer.waitSequence(job, 1, ARRIVAL), "the job on the new connection");
        assertTrue(printer.waitSequence(ENABLE_AUTO_STATUS, 1, ARRIVAL), "GS a FF again");
        assertEquals(1, printer.count(job), "the job exactly once");
    }

    @Test
    void closeLeavesNoThreadAndNoSocket() {
        long threadsBefore = tasksNamedLikeCaller();
        long socketsBefore = sockets();
        for (boolean thermal : new boolean[] {true, false, true}) {
            openAndClaim(thermal);
            assertEquals(threadsBefore + 1, tasksNamedLikeCaller(), "the monitor while claimed");
            assertEquals(socketsBefore + 1, sockets(), "the connection while claimed");
            printer.tcpMode("silent");
            Timing.Timed closing = Timing.time(this::closePort);
            assertTrue(closing.millis() < 1500, "_closePort with a silent printer took "
                    + closing.millis() + " ms");
            assertEquals(threadsBefore, tasksNamedLikeCaller(), "threads after _closePort");
            assertEquals(socketsBefore, sockets(), "sockets after _closePort");
            printer.tcpMode("normal");
        }
        // And after a reconnection made the monitor anew.
        openAndClaim(true);
        printer.tcpMode("reset");
        assertStatus(8, "the reset");
        assertEquals(3, write(job(3, 'x')), "the reconnecting _writeData");
        closePort();
        assertEquals(threadsBefore, tasksNamedLikeCaller(), "threads after the reconnection");
        assertEquals(socketsBefore, sockets(), "sockets after the reconnection");
    }

    // --- the process as the kernel shows it ---

    /**
     * Tasks that carry the calling thread's kernel name, itself excluded. A thread the library
     * starts inherits the name of the Java thread that called it; the JVM names its own.
     */
    private static long tasksNamedLikeCaller() {
        String own = comm(Path.of("/proc/thread-self/comm"));
        try (Stream<Path> tasks = Files.list(Path.of("/proc/self/task"))) {
            return tasks.filter(task -> own.equals(comm(task.resolve("comm")))).count() - 1;
        } catch (IOException e) {
            throw new IllegalStateException("cannot list /proc/self/task", e);
        }
    }

    private static String comm(Path path) {
        try {
            return Files.readString(path, StandardCharsets.UTF_8).strip();
        } catch (IOException e) {
            return ""; // the task ended while we looked
        }
    }

    /** Descriptors of this JVM that are sockets. */
    private static long sockets() {
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            return fds.filter(fd -> {
                try {
                    return Files.readSymbolicLink(fd).toString().startsWith("socket:");
                } catch (IOException e) {
                    return false; // closed while we looked
                }
            }).count();
        } catch (IOException e) {
            throw new IllegalStateException("cannot list /proc/self/fd", e);
        }
    }

    private static boolean waitUntil(Duration deadline, BooleanSupplier condition) {
        long end = System.nanoTime() + deadline.toNanos();
        while (!condition.getAsBoolean()) {
            if (System.nanoTime() - end > 0) {
                return false;
            }
            try {
                Thread.sleep(20);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
            }
        }
        return true;
    }
}
