import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxUSB;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeAll;

/**
 * libprnusb.so in this JVM and a fresh virtual USB printer for every test: a pty without line
 * discipline behind a link (lp0 in a folder of its own), opened as the library opens
 * /dev/usb/lp0. The settings text means nothing to this library; the tests pass an empty one.
 */
abstract class UsbPrinterTest extends VirtualPrinterTest<JNativeCommonPort4LinuxUSB> {
    UsbPrinterTest() {
        super(new JNativeCommonPort4LinuxUSB());
    }

    @BeforeAll
    static void loadLibrary() {
        NativeLibraries.load("prn.lib.usb");
    }

    @Override
    VirtualPrinterProcess newPrinter() {
        return VirtualPrinterProcess.usb();
    }

    long open() {
        return open(printer.device());
    }

    long open(String path) {
        return openPort(path, "");
    }

    long open(String path, String settings) {
        return openPort(path, settings);
    }

    /**
     * This JVM's descriptors on any pty, as "fd -> target". A pty that was unplugged shows as
     * "/dev/pts/N (deleted)", which no lookup by name finds any more.
     */
    static Set<String> ptyDescriptors() {
        Set<String> found = new TreeSet<>();
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            fds.forEach(fd -> {
                try {
                    String target = Files.readSymbolicLink(fd).toString();
                    if (target.startsWith("/dev/pts/")) {
                        found.add(fd.getFileName() + " -> " + target);
                    }
                } catch (IOException e) {
                    // closed while we looked (the listing's own descriptor, for one)
                }
            });
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return found;
    }
}
