import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * A till receipt or a kitchen ticket as ESC/POS bytes, 42 columns wide (font A on 80 mm paper)
 * unless made narrower.
 */
final class Receipt {
    static final int COLUMNS = 42;

    private final int columns;

    private static final byte ESC = 0x1B;
    private static final byte GS = 0x1D;
    private static final byte LF = 0x0A;

    private final ByteArrayOutputStream out = new ByteArrayOutputStream();
    private final List<String> lines = new ArrayList<>();

    Receipt() {
        this(COLUMNS);
    }

    /** A receipt whose items and rules are {@code columns} wide. */
    Receipt(int columns) {
        this.columns = columns;
    }

    /** ESC @: forget any mode left behind by an earlier job. */
    Receipt initialize() {
        return bytes(ESC, '@');
    }

    /** ESC a n: 0 left, 1 centre, 2 right. */
    Receipt align(int n) {
        return bytes(ESC, 'a', n);
    }

    /** ESC E n: emphasised (bold) on or off. */
    Receipt bold(boolean on) {
        return bytes(ESC, 'E', on ? 1 : 0);
    }

    /** GS ! n: character width and height multipliers, 1 or 2 here. */
    Receipt size(int width, int height) {
        return bytes(GS, '!', ((width - 1) << 4) | (height - 1));
    }

    Receipt line(String text) {
        lines.add(text);
        byte[] ascii = text.getBytes(StandardCharsets.US_ASCII);
        out.write(ascii, 0, ascii.length);
        return bytes(LF);
    }

    /** Text on the left, amount on the right edge. */
    Receipt item(String name, long cents) {
        String amount = money(cents);
        int room = columns - amount.length() - 1;
        String left = name.length() > room ? name.substring(0, room) : name;
        return line(left + " ".repeat(columns - left.length() - amount.length()) + amount);
    }

    Receipt rule() {
        return line("-".repeat(columns));
    }

    /** GS V 66 n: feed to the cutter plus n lines, then partial cut. */
    Receipt feedAndCut() {
        return bytes(GS, 'V', 66, 3);
    }

    byte[] toBytes() {
        return out.toByteArray();
    }

    /** The text of every line, in order, as it must come out of the printer. */
    List<String> lines() {
        return List.copyOf(lines);
    }

    static String money(long cents) {
        return String.format("%d.%02d", cents / 100, cents % 100);
    }

    private Receipt bytes(int... values) {
        for (int v : values) {
            out.write(v);
        }
        return this;
    }

    /** The demo's receipt: header, items, total, thanks, cut. */
    static Receipt sample() {
        Receipt r = new Receipt().initialize();
        r.align(1).bold(true).size(2, 2).line("HARBOUR ST GROCER").size(1, 1).bold(false);
        r.line("12 Harbour Street").line("Till 2   Receipt 000417").align(0).rule();
        long[] prices = {249, 1150, 385, 99};
        String[] names = {"Sourdough loaf", "Olive oil 1 l", "Tomatoes 500 g", "Paper bag"};
        long total = 0;
        for (int i = 0; i < prices.length; i++) {
            r.item(names[i], prices[i]);
            total += prices[i];
        }
        r.rule().bold(true).size(1, 2).item("TOTAL", total).size(1, 1).bold(false);
        r.item("Cash", 2000).item("Change", 2000 - total);
        r.align(1).line("").line("Thank you, see you soon").align(0);
        return r.feedAndCut();
    }
}
