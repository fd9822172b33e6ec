import java.nio.file.Files;
import java.nio.file.Path;

/**
 * The resident memory one port library adds to this JVM: VmRSS before and after System.load,
 * after a full collection each time. Usage: java ResidentProbe LIBRARY
 */
public final class ResidentProbe {
    private ResidentProbe() {}

    public static void main(String[] args) throws Exception {
        long before = residentKiB();
        System.load(args[0]);
        long after = residentKiB();
        System.out.println((after - before) + " " + before);
    }

    private static long residentKiB() throws Exception {
        System.gc();
        Thread.sleep(200); // let the collector settle before the reading, not a wait for an event
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return -1;
    }
}
