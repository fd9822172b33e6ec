import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxParallel;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxUSB;
import com.keldo.jpos.JNativePort.NativePort;

/**
 * One library in this JVM on a real node of the test machine, as a service uses it: open,
 * claim, status, a job, the completion wait, release and close. Prints one PASS or FAIL line
 * per step.
 *
 * <p>Usage: {@code java -Dprn.lib=LIBRARY VmPortCheck usb|serial|parallel NODE}
 */
public final class VmPortCheck {
    private static int failed;
    private static String prefix;

    private VmPortCheck() {}

    public static void main(String[] args) throws InterruptedException {
        String kind = args[0];
        String node = args[1];
        NativePort.load(System.getProperty("prn.lib"));
        prefix = "Jvm" + Character.toUpperCase(kind.charAt(0)) + kind.substring(1) + ".";
        NativePort port = switch (kind) {
            case "usb" -> new JNativeCommonPort4LinuxUSB();
            case "serial" -> new JNativeCommonPort4LinuxSerial();
            default -> new JNativeCommonPort4LinuxParallel();
        };
        if (kind.equals("parallel")) {
            // Nothing answers on the far side of the machine's port: the probe gives up in time.
            long start = System.nanoTime();
            long opened = port._openPort(node, "");
            long took = millisSince(start);
            check("OpenWithoutAReverseChannel", opened == -1 && took < 2000,
                    "_openPort " + opened + " after " + took + " ms");
            start = System.nanoTime();
            port._closePort();
            check("CloseAfterARefusedOpen", millisSince(start) < 2000,
                    millisSince(start) + " ms");
        } else {
            String settings = kind.equals("serial") ? "9600" : "";
            check("Open", port._openPort(node, settings) == 0, "_openPort");
            check("ClaimThermal", port._claim(1000, true) == 0, "_claim(1000, true)");
            check("StatusReady", statusBecomes(port, 0, 5000), "_getPrinterStatus "
                    + port._getPrinterStatus(1000));
            byte[] job = new byte[4096];
            for (int i = 0; i < job.length; i++) {
                job[i] = (byte) (0x20 + i % 0x5F);
            }
            int written = port._writeData(job, job.length, 1000);
            check("Write4KiB", written == job.length, "_writeData " + written);
            long start = System.nanoTime();
            boolean complete = port._WaitForCompletePrinting(0);
            check("CompletionWait", complete, "_WaitForCompletePrinting " + complete + " after "
                    + millisSince(start) + " ms");
            port._release();
            start = System.nanoTime();
            port._closePort();
            check("Close", millisSince(start) < 3000, millisSince(start) + " ms");
        }
        System.exit(failed == 0 ? 0 : 1);
    }

    private static boolean statusBecomes(NativePort port, int status, long withinMs)
            throws InterruptedException {
        long end = System.nanoTime() + withinMs * 1_000_000L;
        while (System.nanoTime() < end) {
            if (port._getPrinterStatus(1000) == status) {
                return true;
            }
            Thread.sleep(20); // polling the status the monitor keeps, with a deadline
        }
        return false;
    }

    private static long millisSince(long start) {
        return (System.nanoTime() - start) / 1_000_000L;
    }

    private static void check(String name, boolean ok, String detail) {
        System.out.println((ok ? "PASS " : "FAIL ") + prefix + name + " (" + detail + ")");
        if (!ok) {
            failed++;
        }
    }
}
