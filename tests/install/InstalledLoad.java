import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import com.keldo.jpos.JNativePort.NativePort;

/** Loads the serial library the way an installed service does and makes one call through it. */
public class InstalledLoad {
    public static void main(String[] args) {
        System.out.println("loaded " + NativePort.loadLibrary("prnserial"));
        System.out.println("_openPort " + new JNativeCommonPort4LinuxSerial()._openPort("/dev/ttyPRN-none", "9600"));
    }
}
