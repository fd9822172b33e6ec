import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Duration;
import java.util.Arrays;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Print data to a parallel printer, which the library sends only while the status lines show
 * no fault and not busy, and bytes back from it over the reverse channel.
 */
class ParallelDataTest extends ParallelPrinterTest {
    /** How long a held write is watched to make sure nothing leaves. */
    private static final Duration HELD = Duration.ofMillis(500);

    @ParameterizedTest
    @ValueSource(ints = {0x88, READY_LINES})
    void writeGoesAtOnceWhenNoFaultAndNotBusyAreSet(int lines) {
        openReady();
        printer.statusLines(lines);
        byte[] line = text("status lines " + Integer.toHexString(lines) + "\n");
        Timing.Timed timed = Timing.time(() -> write(line));
        assertEquals(line.length, timed.result(), "_writeData with status lines " + lines);
        Timing.assertQuick(timed, "_writeData with status lines " + lines);
        assertPrinterReceived(line, "the line");
    }

    /** 0x80 alone is a fault, 0x08 alone a busy printer: the write waits for both. */
    @ParameterizedTest
    @ValueSource(ints = {0x80, 0x08})
    void writeWaitsWhileEitherLineIsMissing(int lines) throws Exception {
        openReady();
        printer.statusLines(lines);
        byte[] line = text("held line\n");
        CompletableFuture<Integer> writing = CompletableFuture.supplyAsync(() -> write(line));
        assertFalse(printer.waitBytes(1, HELD), "bytes sent with status lines " + lines);
        assertFalse(writing.isDone(), "_writeData returned with status lines " + lines);
        long readyAt = System.nanoTime();
        printer.statusLines(READY_LINES);
        assertEquals(line.length, writing.get(10, TimeUnit.SECONDS), "_writeData once ready");
        long after = (System.nanoTime() - readyAt) / 1_000_000;
        // Polled every 20 ms.
        Timing.assertQuick(new Timing.Timed(0, after), "_writeData once the printer is ready");
        assertPrinterReceived(line, "the held line, once");
    }

    @Test
    void emptyWriteIsZeroAndSendsNothing() {
        openReady();
        Timing.Timed timed = Timing.time(() -> port._writeData(new byte[8], 0, 1000));
        assertEquals(0, timed.result(), "_writeData of 0 bytes");
        Timing.assertQuick(timed, "_writeData of 0 bytes");
        assertArrayEquals(new byte[0], printer.received(), "bytes sent by an empty write");
    }

    @Test
    void onlyTheFirstSlenBytesAreSent() {
        openReady();
        assertEquals(3, port._writeData(Bytes.of('a', 'b', 'c', 'd', 'e'), 3, 1000));
        assertPrinterReceived(Bytes.of('a', 'b', 'c'), "slen 3 of 5");
    }

    /** What the reverse channel holds comes back at once, whatever the timeout asks. */
    @Test
    void readReturnsWhatIsWaitingAtOnceAndMinusTwoWhenNothingIs() {
        openReady();
        byte[] rbuf = new byte[64];
        Timing.Timed quiet = Timing.time(() -> port._readData(rbuf, rbuf.length, 5000));
        assertEquals(-2, quiet.result(), "_readData with nothing waiting");
        Timing.assertQuick(quiet, "_readData with nothing waiting");

        byte[] sent = Bytes.of(0x14, 0x00, 0x00, 0x0F);
        printer.send(sent);
        byte[] got = new byte[0];
        long deadline = System.nanoTime() + ARRIVAL.toNanos();
        while (got.length < sent.length && System.nanoTime() < deadline) {
            Timing.Timed read = Timing.time(() -> port._readData(rbuf, rbuf.length, 5000));
            Timing.assertQuick(read, "_readData");
            if (read.result() > 0) {
                got = Bytes.concat(got, Arrays.copyOf(rbuf, (int) read.result()));
            }
        }
        assertArrayEquals(sent, got, "the bytes the printer sent");
        assertEquals(-2, port._readData(rbuf, rbuf.length, 5000), "_readData once all is read");
    }

    /** The monitor's report refuses the write before the status lines are looked at. */
    @ParameterizedTest
    @CsvSource({"cover open, 1", "paper end, 2", "power off, 8"})
    void writeIsRefusedAtOnceWhileTheMonitorReportsThePrinterCannotPrint(String state,
            int status) {
        claimThermal();
        printer.ok(state);
        assertStatus(status, state);
        byte[] refused = text("REFUSED\n");
        Timing.Timed timed = Timing.time(() -> write(refused));
        assertEquals(-2, timed.result(), "_writeData with " + state);
        Timing.assertQuick(timed, "the refused _writeData with " + state);
        assertEquals(0, printer.count(refused), "refused data reached the printer");
    }

    /**
     * The monitor negotiates nibble mode every 300 ms to read the printer; a job written
     * meanwhile goes in compatibility mode, every byte once and in order. The printer reads 32
     * KiB a second, so the job spans several passes.
     */
    @Test
    void longJobDuringAThermalClaimArrivesWhole() {
        claimThermal();
        printer.clear();
        printer.readRate(32 * 1024);
        byte[] job = Bytes.everyValue(64 * 1024);
        Timing.Timed timed = Timing.time(() -> port._writeData(job, job.length, 1000));
        assertEquals(job.length, timed.result(), "_writeData of 64 KiB");
        assertTrue(timed.millis() >= 3 * PASS_MS, "_writeData of 64 KiB took " + timed.millis()
                + " ms, less than three passes of the monitor");
        assertPrinterReceived(job, "64 KiB written while the monitor ran");
        assertEquals(0, port._getPrinterStatus(1000), "status after the job");
    }
}
