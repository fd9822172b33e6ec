import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import java.time.Duration;
import java.util.Arrays;
import java.util.Set;
import java.util.TreeSet;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * libprnnet.so in this JVM against a virtual network printer on a loopback port: the address
 * form, claim and live status, reconnection after the printer drops the connection, and a close
 * that cannot hang on a silent printer.
 */
class EthernetPortTest {
    private static final Duration STATUS_CHANGE = Duration.ofSeconds(4);
    private static final Duration ARRIVAL = Duration.ofSeconds(5);
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

    private void openAndClaim() {
        assertEquals(0, open(ADDRESS), "_openPort(\"" + ADDRESS + "\")");
        Timing.Timed claim = Timing.time(() -> port._claim(1000, true));
        assertEquals(0, claim.result(), "thermal _claim");
        Timing.assertAbout(500, claim, "thermal _claim");
        assertTrue(printer.waitSequence(ENABLE_AUTO_STATUS, 1, Duration.ofSeconds(3)),
                "GS a FF from the monitor's first pass");
    }

    private void closePort() {
        port._closePort();
        portOpen = false;
    }

    private void assertStatus(int expected, String after) {
        assertEquals(expected, Poll.untilEquals(STATUS_CHANGE, expected,
                () -> port._getPrinterStatus(1000)), "_getPrinterStatus after " + after);
    }

    @Test
    void opensWithTheSocketPrefix() {
        assertEquals(0, open(ADDRESS));
        assertTrue(printer.waitConnections(1, ARRIVAL), "the printer saw the connection");
        byte[] data = Bytes.of('n', 'e', 't', 0x0A);
        assertEquals(data.length, port._writeData(data, data.length, 1000));
        assertTrue(printer.waitSequence(data, 1, ARRIVAL), "data over the connection");
        Timing.Timed closing = Timing.time(this::closePort);
        assertTrue(closing.millis() < 1500, "_closePort took " + closing.millis() + " ms");
        assertEquals(-1, port._writeData(data, data.length, 1000), "_writeData after close");
    }

    @ParameterizedTest
    @ValueSource(strings = {"127.0.0.1", "socket:127.0.0.1", "SOCKET:", "SOCKET"})
    void addressWithoutTheExactPrefixIsRefused(String address) {
        assertEquals(-1, open(address), "_openPort(\"" + address + "\")");
        assertEquals(0, printer.connections(), "no connection for " + address);
    }

    @Test
    void refusedConnectionFailsQuickly() {
        printer.tcpMode("refuse");
        Timing.Timed timed = Timing.time(() -> open(ADDRESS));
        assertEquals(-1, timed.result(), "_openPort on a refusing printer");
        assertTrue(timed.millis() <= 1500, "_openPort took " + timed.millis() + " ms");
    }

    @Test
    void statusFollowsThePrinter() {
        openAndClaim();
        assertEquals(0, port._getPrinterStatus(1000), "ready printer");
        printer.coverOpen(true);
        assertStatus(1, "cover open");
        byte[] refused = Bytes.of('c', 'o', 'v');
        assertEquals(-2, port._writeData(refused, refused.length, 1000), "write, cover open");
        printer.coverOpen(false);
        assertStatus(0, "cover closed");
        printer.paper("end");
        assertStatus(2, "paper end");
        printer.paper("ok");
        assertStatus(0, "paper loaded");
        printer.drawerOpen(true);
        assertEquals(1, Poll.untilEquals(STATUS_CHANGE, 1, () -> port._getCashDrawerStatus(1000)),
                "_getCashDrawerStatus, drawer open");
        assertEquals(0, printer.count(refused), "the refused write reached the printer");
    }

    /**
     * A reset (RST) fails the monitor's receive: the link is lost. A printer that closes the
     * connection in order (FIN, "drop") is not reported offline: many printers close an idle
     * connection, and the next write reconnects (see the test below).
     */
    @Test
    void resetConnectionIsReportedOffline() {
        openAndClaim();
        printer.tcpMode("reset");
        assertStatus(8, "the printer's reset of the connection");
    }

    /** After the printer dropped the connection, the next job reconnects and goes out whole. */
    @Test
    void nextWriteAfterADropReconnectsAndSendsTheWholeJob() {
        openAndClaim();
        printer.tcpMode("drop");
        printer.clear();

        byte[] job = new byte[300];
        Arrays.fill(job, (byte) 'j');
        Timing.Timed timed = Timing.time(() -> port._writeData(job, job.length, 5000));
        assertEquals(job.length, timed.result(), "_writeData after the drop");
        assertTrue(timed.millis() < 5000, "reconnecting write took " + timed.millis() + " ms");
        assertEquals(2, printer.connections(), "connections after the reconnecting write");
        assertTrue(printer.waitSequence(job, 1, ARRIVAL), "the whole job on the new connection");
        assertTrue(printer.waitSequence(ENABLE_AUTO_STATUS, 1, Duration.ofSeconds(3)),
                "GS a FF from the new monitor on the new connection");
        assertEquals(1, printer.count(job), "the job exactly once");
        assertStatus(0, "the reconnection");
    }

    @Test
    void closeIsBoundedWithASilentPrinter() {
        openAndClaim();
        printer.tcpMode("silent");
        Timing.Timed closing = Timing.time(this::closePort);
        assertTrue(closing.millis() <= 1500, "_closePort on a silent printer took "
                + closing.millis() + " ms");
    }

    @Test
    void claimAndCloseCyclesLeaveNoThread() {
        Set<Integer> before = NativeThreads.namedLikeCaller();
        for (int cycle = 0; cycle < 4; cycle++) {
            assertEquals(0, open(ADDRESS), "_openPort, cycle " + cycle);
            assertEquals(0, port._claim(1000, true), "_claim, cycle " + cycle);
            if (cycle == 0) {
                Set<Integer> during = new TreeSet<>(NativeThreads.namedLikeCaller());
                during.removeAll(before);
                assertEquals(1, during.size(), "the monitor thread while claimed: " + during);
            }
            closePort();
        }
        Set<Integer> left = new TreeSet<>();
        boolean none = Poll.until(Duration.ofSeconds(2), () -> {
            left.clear();
            left.addAll(NativeThreads.namedLikeCaller());
            left.removeAll(before);
            return left.isEmpty();
        });
        assertTrue(none, "native threads left after claim/close cycles: " + left);
        assertTrue(printer.waitConnections(4, ARRIVAL), "one connection per cycle");
    }
}
