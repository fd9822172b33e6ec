import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.Arrays;
import java.util.function.LongSupplier;
import org.junit.jupiter.api.Test;

/**
 * A service bug that passes null must come back as an error value or a NullPointerException,
 * never end the JVM (which is the till). Its own class, so a crash costs only this JVM.
 */
class SerialNullArgumentTest extends SerialPrinterTest {
    @Test
    void nullStringsToOpen() {
        assertRefused(() -> port._openPort(null, "9600"), "_openPort(null, \"9600\")");
        assertRefused(() -> port._openPort(printer.device(), null), "_openPort(device, null)");
        assertRefused(() -> port._openPort(null, null), "_openPort(null, null)");
    }

    @Test
    void nullArraysToReadAndWrite() {
        openReady();
        assertRefused(() -> port._writeData(null, 4, 1000), "_writeData(null, 4)");
        assertNothingElseArrives("_writeData(null, 4)");
        printer.send(Bytes.of(1, 2, 3));
        try {
            long result = port._readData(null, 3, 1000);
            assertTrue(result <= 0, "_readData(null, 3) returned " + result);
        } catch (NullPointerException expected) {
            // as good as an error value
        }
        byte[] rbuf = new byte[8];
        assertEquals(3, port._readData(rbuf, rbuf.length, 1000),
                "bytes waiting are not lost by the refused read");
        assertArrayEquals(Bytes.of(1, 2, 3), Arrays.copyOf(rbuf, 3));
    }

    private static void assertRefused(LongSupplier call, String what) {
        long result;
        try {
            result = call.getAsLong();
        } catch (NullPointerException expected) {
            return;
        } catch (RuntimeException e) {
            fail(what + " threw " + e);
            return;
        }
        assertTrue(result < 0, what + " returned " + result);
    }
}
