import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Print jobs whose every line says where it belongs ("p07 j00012 l003 ...\n": printer, job and
 * line number), and the search for them in what a printer received. A job is found by its
 * bytes; a line that strayed to another printer is found by its printer id.
 */
final class NumberedJobs {
    private NumberedJobs() {}

    /** The tag at the start of every line. */
    private static final Pattern TAG = Pattern.compile("p(\\d{2}) j(\\d{5}) l(\\d{3}) ");
    private static final String FILL = "-=0123456789abcdefghijklmnopqrstuvwxyz=-";

    /** {@code lines} lines of 48 bytes for printer {@code printer}, job {@code job}. */
    static byte[] job(int printer, int job, int lines) {
        StringBuilder text = new StringBuilder(lines * 48);
        for (int line = 0; line < lines; line++) {
            String tag = String.format("p%02d j%05d l%03d ", printer, job, line);
            text.append(tag).append(FILL, 0, 47 - tag.length()).append('\n');
        }
        return text.toString().getBytes(StandardCharsets.US_ASCII);
    }

    /** Where {@code sequence} starts in {@code data}, each start (overlaps counted). */
    static List<Integer> occurrences(byte[] data, byte[] sequence) {
        List<Integer> found = new ArrayList<>();
        if (sequence.length == 0) {
            return found;
        }
        outer:
        for (int at = 0; at + sequence.length <= data.length; at++) {
            for (int i = 0; i < sequence.length; i++) {
                if (data[at + i] != sequence[i]) {
                    continue outer;
                }
            }
            found.add(at);
        }
        return found;
    }

    static int count(byte[] data, byte[] sequence) {
        return occurrences(data, sequence).size();
    }

    /** A line tag found in a printer's record: whose line it is. */
    record Tag(int printer, int job, int line, int at) {}

    /** Every line tag in {@code received}, in order (commands between lines are skipped). */
    static List<Tag> tags(byte[] received) {
        String text = new String(received, StandardCharsets.ISO_8859_1);
        List<Tag> tags = new ArrayList<>();
        Matcher m = TAG.matcher(text);
        while (m.find()) {
            tags.add(new Tag(Integer.parseInt(m.group(1)), Integer.parseInt(m.group(2)),
                    Integer.parseInt(m.group(3)), m.start()));
        }
        return tags;
    }

    /** The tags in {@code received} of any printer but {@code printer}, for a message. */
    static List<Tag> foreign(byte[] received, int printer) {
        List<Tag> foreign = new ArrayList<>();
        for (Tag tag : tags(received)) {
            if (tag.printer() != printer) {
                foreign.add(tag);
            }
        }
        return foreign;
    }
}
