import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Print data to a USB printer and bytes back from it: unchanged (the node has no line
 * discipline), paced in 1024-byte pieces, and reads that always take their 200 ms.
 */
class UsbDataTest extends UsbPrinterTest {
    /**
     * Every piece of 1024 bytes is followed by a 10 ms pause, so 64 KiB take at least 640 ms;
     * the timeout passed (1 ms here) is not a limit.
     */
    @ParameterizedTest
    @ValueSource(ints = {1, 1025, 64 * 1024})
    void printDataArrivesUnchangedInPacedPieces(int length) {
        openReady();
        byte[] data = Bytes.everyValue(length);
        Timing.Timed timed = Timing.time(() -> port._writeData(data, length, 1));
        assertEquals(length, timed.result(), "_writeData of " + length + " bytes");
        Timing.assertAbout((length + 1023) / 1024 * 10, timed, "_writeData of " + length
                + " bytes");
        assertPrinterReceived(data, length + " bytes with every byte value");
    }

    @Test
    void onlyTheFirstSlenBytesAreSent() {
        openReady();
        assertEquals(3, port._writeData(Bytes.of('a', 'b', 'c', 'd', 'e'), 3, 1000));
        assertPrinterReceived(Bytes.of('a', 'b', 'c'), "slen 3 of 5");
    }

    @Test
    void readWaitsItsTimeThenReturnsAtMost256WaitingBytes() {
        openReady();
        byte[] rbuf = new byte[1024];
        Timing.Timed quiet = Timing.time(() -> port._readData(rbuf, rbuf.length, 5000));
        assertEquals(-1, quiet.result(), "_readData with nothing waiting");
        Timing.assertAbout(200, quiet, "_readData with nothing waiting");

        byte[] sent = Bytes.everyValue(300);
        printer.send(sent); // in the pty once the command has answered
        Timing.Timed first = Timing.time(() -> port._readData(rbuf, rbuf.length, 0));
        assertEquals(256, first.result(), "all 300 bytes are waiting; one read takes 256");
        Timing.assertAbout(200, first, "_readData with bytes waiting");
        assertArrayEquals(Arrays.copyOf(sent, 256), Arrays.copyOf(rbuf, 256));
        assertEquals(44, port._readData(rbuf, rbuf.length, 0), "the rest on the next read");
        assertArrayEquals(Arrays.copyOfRange(sent, 256, 300), Arrays.copyOf(rbuf, 44));
        assertEquals(-1, port._readData(rbuf, rbuf.length, 0), "_readData once all is read");
        // Nothing read may be echoed back to the printer.
        assertEquals(1, write(Bytes.of('#')));
        assertPrinterReceived(Bytes.of('#'), "only the marker written after reading");
    }

    @Test
    void smallArrayIsFilledNoFurtherAndNoByteIsLost() {
        openReady();
        byte[] sent = Bytes.of(1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
        printer.send(sent);
        byte[] small = new byte[4];
        byte[] got = new byte[0];
        long deadline = System.nanoTime() + ARRIVAL.toNanos();
        while (got.length < sent.length && System.nanoTime() < deadline) {
            int n = port._readData(small, small.length, 0);
            assertTrue(n == -1 || (n >= 1 && n <= 4), "_readData into 4 bytes returned " + n);
            if (n > 0) {
                got = Bytes.concat(got, Arrays.copyOf(small, n));
            }
        }
        assertArrayEquals(sent, got, "bytes that did not fit stay for the next read");
    }

    @Test
    void readAndWriteWithoutAnOpenPortFail() {
        byte[] rbuf = new byte[16];
        assertTrue(port._readData(rbuf, rbuf.length, 100) < 0, "_readData without an open port");
        assertTrue(write(Bytes.of('x')) < 0, "_writeData without an open port");
        openReady();
        closePort();
        assertTrue(port._readData(rbuf, rbuf.length, 100) < 0, "_readData after _closePort");
        assertTrue(write(Bytes.of('x')) < 0, "_writeData after _closePort");
        assertArrayEquals(new byte[0], printer.received(), "bytes reached the printer after close");
    }
}
