import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Print data to the printer and bytes back from it, unchanged and within the Java arrays. */
class SerialDataTest extends SerialPrinterTest {
    @ParameterizedTest
    @ValueSource(ints = {1, 600, 64 * 1024})
    void printDataArrivesUnchanged(int length) {
        openReady();
        byte[] data = Bytes.everyValue(length);
        assertEquals(length, port._writeData(data, length, 5000));
        assertPrinterReceived(data, length + " bytes with every byte value");
    }

    @Test
    void onlyTheFirstSlenBytesAreSent() {
        openReady();
        assertEquals(3, port._writeData(Bytes.of('a', 'b', 'c', 'd', 'e'), 3, 1000));
        assertPrinterReceived(Bytes.of('a', 'b', 'c'), "slen 3 of 5");
    }

    @Test
    void zeroLengthWriteSendsNothing() {
        openReady();
        assertEquals(0, port._writeData(new byte[8], 0, 1000));
        assertNothingElseArrives("slen 0");
    }

    @ParameterizedTest
    @ValueSource(ints = {9, 4096, -1, Integer.MIN_VALUE})
    void lengthOutsideTheArrayIsRefused(int slen) {
        openReady();
        byte[] eight = Bytes.of('1', '2', '3', '4', '5', '6', '7', '8');
        assertEquals(-2, port._writeData(eight, slen, 1000), "slen " + slen + " on 8 bytes");
        assertNothingElseArrives("slen " + slen);
    }

    @Test
    void printerBytesAreReadUnchanged() {
        openReady();
        byte[] sent = Bytes.of(0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF);
        printer.send(sent);
        assertArrayEquals(sent, readAtLeast(sent.length, new byte[256]));
        // Nothing read may be echoed back to the printer by the line discipline.
        assertNothingElseArrives("reading");
    }

    @Test
    void everyByteValueIsReadUnchanged() {
        openReady();
        byte[] sent = Bytes.everyValue(512);
        printer.send(Arrays.copyOfRange(sent, 0, 256));
        printer.send(Arrays.copyOfRange(sent, 256, 512));
        assertArrayEquals(sent, readAtLeast(sent.length, new byte[256]));
    }

    @Test
    void oneReadReturnsAtMost256Bytes() {
        openReady();
        byte[] sent = Bytes.everyValue(300);
        printer.send(sent);
        byte[] rbuf = new byte[1024];
        int first = port._readData(rbuf, rbuf.length, 1000);
        assertEquals(256, first, "all 300 bytes are waiting; one read takes 256");
        assertArrayEquals(Arrays.copyOf(sent, 256), Arrays.copyOf(rbuf, 256));
        assertArrayEquals(Arrays.copyOfRange(sent, 256, 300), readAtLeast(44, rbuf),
                "the rest waits for the next read");
    }

    @Test
    void smallArrayIsFilledNoFurtherAndNoByteIsLost() {
        openReady();
        byte[] sent = Bytes.of(1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
        printer.send(sent);
        byte[] small = new byte[4];
        int first = port._readData(small, small.length, 1000);
        assertTrue(first >= 1 && first <= 4, "a 4-byte array takes 1 to 4 bytes, got " + first);
        byte[] firstBytes = Arrays.copyOf(small, first);
        byte[] rest = readAtLeast(sent.length - first, small);
        assertArrayEquals(sent, Bytes.concat(firstBytes, rest),
                "bytes that did not fit stay for the next read");
    }

    @Test
    void readOnAQuietLineReturnsNoBytesAfterItsWait() {
        openReady();
        byte[] rbuf = new byte[16];
        Arrays.fill(rbuf, (byte) 0x55);
        Timing.Timed timed = Timing.time(() -> port._readData(rbuf, rbuf.length, 1000));
        assertTrue(timed.result() <= 0, "nothing to read gives no count, got " + timed.result());
        Timing.assertAbout(200, timed, "read on a quiet line");
        byte[] untouched = new byte[16];
        Arrays.fill(untouched, (byte) 0x55);
        assertArrayEquals(untouched, rbuf, "nothing written into the array");
    }

    @Test
    void readAndWriteWithoutAnOpenPortFail() {
        byte[] rbuf = new byte[16];
        assertTrue(port._readData(rbuf, rbuf.length, 100) <= 0, "_readData without an open port");
        assertTrue(write(Bytes.of('x')) < 0, "_writeData without an open port");
        openReady();
        closePort();
        assertTrue(port._readData(rbuf, rbuf.length, 100) <= 0, "_readData after _closePort");
        assertTrue(write(Bytes.of('x')) < 0, "_writeData after _closePort");
        assertArrayEquals(new byte[0], printer.received(),
                "nothing reached the printer after close");
    }

    /** Reads with {@code rbuf} until {@code count} bytes came, within {@link #ARRIVAL}. */
    private byte[] readAtLeast(int count, byte[] rbuf) {
        ByteArrayOutputStream got = new ByteArrayOutputStream();
        long deadline = System.nanoTime() + ARRIVAL.toNanos();
        while (got.size() < count && System.nanoTime() < deadline) {
            int n = port._readData(rbuf, rbuf.length, 1000);
            assertTrue(n <= Math.min(256, rbuf.length), "_readData returned " + n + " for a "
                    + rbuf.length + "-byte array");
            if (n > 0) {
                got.write(rbuf, 0, n);
            }
        }
        return got.toByteArray();
    }
}
