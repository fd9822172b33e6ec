import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.stream.Stream;

/** How many of this JVM's descriptors refer to a device: shows leaks and closes from outside. */
final class OpenDescriptors {
    private OpenDescriptors() {}

    static long countFor(String device) {
        Path target;
        try {
            target = Path.of(device).toRealPath();
        } catch (IOException e) {
            return 0; // the device is gone, so nothing can refer to it by this name
        }
        try (Stream<Path> fds = Files.list(Path.of("/proc/self/fd"))) {
            return fds.filter(fd -> refersTo(fd, target)).count();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private static boolean refersTo(Path fd, Path target) {
        try {
            return Files.readSymbolicLink(fd).equals(target);
        } catch (IOException e) {
            return false; // closed while we looked (the listing's own descriptor, for one)
        }
    }
}
