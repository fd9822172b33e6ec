import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Set;
import java.util.TreeSet;

/**
 * This JVM's native threads, as the kernel lists them in /proc/self/task.
 *
 * <p>A thread made with pthread_create inherits the kernel name (comm) of the thread that made
 * it, and HotSpot names the native thread of every Java thread it starts after the Java thread.
 * So a library's threads started from a Java thread carry that thread's name and can be told
 * apart from the JVM's own compiler and GC threads, which come and go as they please.
 */
final class NativeThreads {
    private NativeThreads() {}

    /** Kernel thread names are cut to 15 bytes. */
    static final int NAME_LIMIT = 15;

    /** Number of native threads of the process. */
    static int count() {
        return ids(null).size();
    }

    /** Ids of the native threads named {@code name} (at most {@link #NAME_LIMIT} characters). */
    static Set<Integer> named(String name) {
        if (name.length() > NAME_LIMIT) {
            throw new IllegalArgumentException("longer than the kernel keeps: " + name);
        }
        return ids(name);
    }

    /** Ids of the native threads with the calling thread's kernel name, the caller included. */
    static Set<Integer> namedLikeCaller() {
        try {
            return ids(Files.readString(Path.of("/proc/thread-self/comm")).strip());
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private static Set<Integer> ids(String name) {
        Set<Integer> ids = new TreeSet<>();
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Path.of("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    if (name == null
                            || Files.readString(task.resolve("comm")).strip().equals(name)) {
                        ids.add(Integer.parseInt(task.getFileName().toString()));
                    }
                } catch (IOException e) {
                    // the thread ended while we looked
                }
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
        return ids;
    }
}
