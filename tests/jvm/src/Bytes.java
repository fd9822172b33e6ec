/** Byte arrays written as the protocol is: {@code of(0x10, 0x04, 0x02)}. */
final class Bytes {
    private Bytes() {}

    static final byte[] DLE_EOT_2 = of(0x10, 0x04, 0x02);
    static final byte[] DLE_EOT_4 = of(0x10, 0x04, 0x04);

    static byte[] of(int... values) {
        byte[] bytes = new byte[values.length];
        for (int i = 0; i < values.length; i++) {
            bytes[i] = (byte) values[i];
        }
        return bytes;
    }

    static byte[] concat(byte[]... parts) {
        int length = 0;
        for (byte[] part : parts) {
            length += part.length;
        }
        byte[] all = new byte[length];
        int at = 0;
        for (byte[] part : parts) {
            System.arraycopy(part, 0, all, at, part.length);
            at += part.length;
        }
        return all;
    }

    /**
     * Print data that every line-discipline translation would spoil: every byte value in every
     * 256-byte block (NUL, CR, LF, XON 0x11, XOFF 0x13, 0xFF among them), in an order that changes
     * from block to block so that a lost or doubled block shows.
     */
    static byte[] everyValue(int length) {
        byte[] bytes = new byte[length];
        for (int i = 0; i < length; i++) {
            int block = i / 256;
            // 167 is odd, so i * 167 runs through all 256 values in every block
            bytes[i] = (byte) ((i * 167 + block * 13) & 0xFF);
        }
        return bytes;
    }
}
