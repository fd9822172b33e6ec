import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * The virtual printer command for the demo: started as a child, asked one command line at a
 * time, each answered by one line beginning "ok" or "error".
 */
final class VirtualPrinterLink implements AutoCloseable {
    private final Process process;
    private final BufferedReader answers;
    private final Writer commands;
    private final String device;

    /**
     * connection: "serial" (device is the pty path), "usb" (device is the link to the pty that
     * stands in for the printer node), "parallel" (device is the pty that stands in for the
     * parallel port) or "tcp" (device is the port number).
     */
    VirtualPrinterLink(String command, String connection, String... options) throws IOException {
        List<String> argv = new ArrayList<>(List.of(command, connection));
        argv.addAll(List.of(options));
        ProcessBuilder builder = new ProcessBuilder(argv).redirectError(
                ProcessBuilder.Redirect.INHERIT);
        if (connection.equals("parallel")) {
            // The modem shim serves this JVM's side of the port; the printer keeps the
            // PRNSIM_MODEM_FILE it publishes the port in, and runs without the shim.
            builder.environment().remove("LD_PRELOAD");
        }
        process = builder.start();
        answers = new BufferedReader(new InputStreamReader(process.getInputStream(),
                StandardCharsets.UTF_8));
        commands = new OutputStreamWriter(process.getOutputStream(), StandardCharsets.UTF_8);
        String first = answers.readLine();
        String expected = connection.equals("tcp") ? "port " : "device ";
        if (first == null || !first.startsWith(expected)) {
            process.destroyForcibly();
            throw new IOException("virtual printer started with '" + first + "'");
        }
        device = first.substring(expected.length());
    }

    String device() {
        return device;
    }

    /** Sends one command; returns what follows "ok", or throws with the error line. */
    String ask(String line) throws IOException {
        commands.write(line + "\n");
        commands.flush();
        String reply = answers.readLine();
        if (reply == null) {
            throw new IOException("virtual printer ended before answering '" + line + "'");
        }
        if (!reply.startsWith("ok")) {
            throw new IOException("'" + line + "' answered '" + reply + "'");
        }
        return reply.substring(2).trim();
    }

    @Override
    public void close() throws IOException {
        try {
            if (process.isAlive()) {
                commands.write("quit\n");
                commands.close();
            }
        } catch (IOException e) {
            // It ended on its own.
        }
        try {
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly();
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
    }
}
