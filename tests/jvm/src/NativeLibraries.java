import com.keldo.jpos.JNativePort.NativePort;
import java.nio.file.Files;
import java.nio.file.Path;

/** Loads the libraries under test from the absolute paths the build passes as system properties. */
final class NativeLibraries {
    private NativeLibraries() {}

    /** Loads the library named by {@code property}, e.g. prn.lib.serial; twice is harmless. */
    static void load(String property) {
        String path = System.getProperty(property);
        if (path == null || path.isEmpty()) {
            throw new IllegalStateException("system property " + property
                    + " (the library under test) is not set");
        }
        if (!Path.of(path).isAbsolute() || !Files.isRegularFile(Path.of(path))) {
            throw new IllegalStateException(property + "=" + path
                    + " is not an absolute path of a file");
        }
        NativePort.load(path);
    }
}
