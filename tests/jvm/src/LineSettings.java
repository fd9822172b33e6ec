import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The line settings of a tty as {@code stty -a} shows them. The settings belong to the tty, not
 * to a descriptor, so another process sees what the library configured.
 */
final class LineSettings {
    private static final Pattern SPEED = Pattern.compile("speed (\\d+) baud");

    private final String text;
    private final List<String> words;

    private LineSettings(String text) {
        this.text = text;
        this.words = Arrays.asList(text.split("[\\s;]+"));
    }

    static LineSettings of(String device) {
        try {
            Process stty = new ProcessBuilder("stty", "-a", "-F",
                    device).redirectErrorStream(true).start();
            String out = new String(stty.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            if (!stty.waitFor(10, TimeUnit.SECONDS) || stty.exitValue() != 0) {
                throw new IllegalStateException("stty -a -F " + device + " failed: " + out);
            }
            return new LineSettings(out);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new IllegalStateException(e);
        }
    }

    String speed() {
        Matcher m = SPEED.matcher(text);
        return m.find() ? m.group(1) : "?";
    }

    /** A flag as stty spells it: "cstopb" set, "-cstopb" cleared. */
    boolean has(String flag) {
        return words.contains(flag);
    }

    @Override
    public String toString() {
        return text.replace('\n', ' ');
    }
}
