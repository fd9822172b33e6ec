import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Claiming a serial printer from Java: the mode the boolean selects, the refused impact claim,
 * and the monitor thread's life inside a real JVM.
 */
class SerialClaimTest extends SerialPrinterTest {
    /** What an impact claim asks before it starts the monitor: NUL, DLE EOT 2, DLE EOT 4. */
    static final byte[] IMPACT_PROBE =
            Bytes.concat(Bytes.of(0x00), Bytes.DLE_EOT_2, Bytes.DLE_EOT_4);
    /** A claim, in either mode, returns after half a second. */
    static final long CLAIM_MS = 500;
    /** Longer than a thread takes to leave the kernel's list once it has ended. */
    static final Duration SETTLE = Duration.ofSeconds(1);

    @Override
    VirtualPrinterProcess newPrinter() {
        return VirtualPrinterProcess.serial("--modem");
    }

    @Test
    void thermalClaimEnablesAutomaticStatusOnceInItsFirstPass() {
        openReady();
        long start = System.nanoTime();
        Timing.Timed claimed = Timing.time(() -> port._claim(1000, true));
        assertEquals(0, claimed.result(), "_claim(1000, true)");
        Timing.assertAbout(CLAIM_MS, claimed, "_claim(1000, true)");
        // The first pass sleeps 50 ms and sends it, so it is there before the claim returns
        // and the first write after the claim is not refused.
        assertEquals(1, printer.count(ENABLE_AUTO_STATUS), "GS a 255 when the claim returns");
        long enabledBy = (System.nanoTime() - start) / 1_000_000;
        assertTrue(enabledBy >= CLAIM_MS - 10, "the claim took " + enabledBy + " ms");
        // Thermal mode asks no readiness questions.
        assertArrayEquals(ENABLE_AUTO_STATUS, printer.received(), "all a thermal claim sends");
        // The printer answers with a ready block; idle passes (every 500 ms) must not repeat it.
        assertFalse(printer.waitSequence(ENABLE_AUTO_STATUS, 2, Duration.ofMillis(1300)),
                "GS a 255 sent again by a quiet pass");
        assertEquals(0, port._getPrinterStatus(1000));
    }

    /** The Java false reaches the library as impact mode: the probe runs, then the monitor. */
    @Test
    void impactClaimProbesAReadyPrinterThenEnablesAutomaticStatus() {
        openReady();
        Timing.Timed claimed = Timing.time(() -> port._claim(1000, false));
        assertEquals(0, claimed.result(), "_claim(1000, false) on a ready printer");
        // The probe's two replies come at once; the rest is the claim's 500 ms.
        Timing.assertAbout(CLAIM_MS, claimed, "_claim(1000, false)");
        assertPrinterReceived(Bytes.concat(IMPACT_PROBE, ENABLE_AUTO_STATUS),
                "the impact probe, then GS a 255 from the impact monitor");
        printer.drawerOpen(true);
        assertEquals(1, Poll.untilEquals(ARRIVAL, 1, () -> port._getCashDrawerStatus(1000)),
                "drawer seen by the impact monitor");
    }

    @ParameterizedTest
    @ValueSource(strings = {"cover open", "paper end"})
    void impactClaimOfAPrinterThatIsNotReadyIsRefusedAndClosesThePort(String state) {
        openReady();
        printer.ok(state);
        assertEquals(1, port._claim(1000, false), "_claim(1000, false) with " + state);
        assertEquals(0, descriptorsOnPrinter(), "the device is closed after the refusal");
        assertEquals(-1, write(Bytes.of('x', 0x0A)), "_writeData after the refused claim");
        assertEquals(1, port._claim(1000, true), "a thermal claim on the closed port");
        assertEquals(0, printer.count(ENABLE_AUTO_STATUS), "no monitor ever ran");
        // The port must be opened again; the printer is ready once more.
        printer.ok(state.equals("cover open") ? "cover close" : "paper ok");
        openReady();
        assertEquals(0, port._claim(1000, false), "the claim after opening again");
    }

    @Test
    void claimWithoutAnOpenPortIsRefusedAtOnce() {
        Set<Integer> threads = NativeThreads.namedLikeCaller();
        for (boolean thermal : new boolean[] {true, false}) {
            Timing.Timed claimed = Timing.time(() -> port._claim(1000, thermal));
            assertEquals(1, claimed.result(), "_claim(1000, " + thermal + ") before _openPort");
            Timing.assertQuick(claimed, "_claim before _openPort");
        }
        assertEquals(threads, NativeThreads.namedLikeCaller(), "threads the refused claims left");
        assertEquals(0, printer.received().length, "bytes sent without an open port");
    }

    /**
     * Open, claim, close, ten times, the odd cycles claiming twice. The monitor carries the name
     * of the Java thread that claimed (see NativeThreads), so it is counted exactly: one while
     * claimed, none once closed, and a second claim replaces the monitor instead of adding one.
     */
    @Test
    void claimAndCloseLeaveNoThreadBehind() throws Exception {
        String name = "prn-claimer";
        int threadsBefore = NativeThreads.count();
        List<String> faults = new ArrayList<>();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread claimer = new Thread(() -> {
            try {
                for (int cycle = 0; cycle < 10; cycle++) {
                    boolean thermal = cycle % 4 < 2;
                    check(faults, cycle, "_openPort", 0, port._openPort(printer.device(), "9600"));
                    check(faults, cycle, "_claim", 0, port._claim(1000, thermal));
                    check(faults, cycle, "monitors while claimed", 1, monitors(name, 1));
                    if (cycle % 2 == 1) {
                        check(faults, cycle, "second _claim", 0, port._claim(1000, !thermal));
                        check(faults, cycle, "monitors after a second claim", 1, monitors(name, 1));
                    }
                    port._closePort();
                    check(faults, cycle, "monitors after _closePort", 0, monitors(name, 0));
                }
            } catch (Throwable t) {
                failure.set(t);
            }
        }, name);
        claimer.start();
        claimer.join(Duration.ofSeconds(120).toMillis());
        assertFalse(claimer.isAlive(), "the cycles did not end in 120 s");
        if (failure.get() != null) {
            throw new AssertionError("the cycles failed", failure.get());
        }
        assertEquals(List.of(), faults);
        // The claimer's own native thread ends a little after Thread.join has returned.
        assertTrue(Poll.until(SETTLE, () -> NativeThreads.named(name).isEmpty()),
                "threads left with the claimer's name: " + NativeThreads.named(name));
        assertEquals(0, descriptorsOnPrinter(), "descriptors left on the device");
        // The JVM's own threads come and go, so the total only has to show no pile-up.
        int threadsAfter = NativeThreads.count();
        assertTrue(threadsAfter < threadsBefore + 5, "native threads: " + threadsBefore
                + " before the cycles, " + threadsAfter + " after");
    }

    /**
     * Monitor threads started from the calling thread named {@code name}, once the count is
     * {@code expected} or a short while has passed: a joined thread can still be listed for a
     * moment, while one left running stays.
     */
    private static int monitors(String name, int expected) {
        return Poll.untilEquals(SETTLE, expected, () -> NativeThreads.named(name).size() - 1);
    }

    private static void check(List<String> faults, int cycle, String what, long expected,
            long actual) {
        if (expected != actual) {
            faults.add("cycle " + cycle + ": " + what + " = " + actual + ", expected " + expected);
        }
    }
}
