package com.keldo.jpos.JNativePort;

import java.io.File;
import java.net.URISyntaxException;
import java.security.CodeSource;

/**
 * The eleven calls every native printer connection offers, whatever the cable.
 *
 * <p>Each of the four port classes declares these methods as {@code native}; the matching shared
 * library exports them under the JNI name of that class. Instances made with a port class's public
 * constructor all act on one shared port, one printer per library in a process, as services have
 * always used them. An instance made with the class's static {@code newPort()} has a port of its
 * own: its open takes one, its close gives it back, and nothing it does reaches or delays another
 * printer. A till with a receipt printer and two kitchen printers holds three such instances.
 *
 * <p>No class here loads its library by itself. The service (or a test) loads the one it wants
 * before the first call: by absolute path with {@link #load(String)}, or by name from where the
 * package installs it with {@link #loadLibrary(String)}. Calling a native of a class whose library
 * is not loaded throws {@link UnsatisfiedLinkError}.
 *
 * <p>Results are the library's numbers, passed on unchanged: 0 success, the readiness results 1
 * (cover open) and 2 (paper end) from {@link #_openPort}, negative error codes otherwise
 * (-1 not open or no answer, -2 I/O failure or refused, -3 bad settings, -7 no port left).
 */
public interface NativePort {
    /** Printer status from {@link #_getPrinterStatus}: ready. */
    int STATUS_READY = 0;
    /** Printer status: the cover is open. */
    int STATUS_COVER_OPEN = 1;
    /** Printer status: the paper has run out. */
    int STATUS_PAPER_END = 2;
    /** Printer status: the printer is offline. */
    int STATUS_OFFLINE = 8;
    /** Printer status: the paper roll is nearly used up. */
    int STATUS_PAPER_NEAR_END = 16;

    /** The port of instances made with the public constructor: one per library, shared. */
    long SHARED_PORT = 0;
    /** The port of an instance of its own port before its open and after its close: none. */
    long NO_PORT = -1;
    /** Ports of their own a library gives out at once; the next open returns {@link #NO_PORT_LEFT}. */
    int MAX_OWN_PORTS = 256;
    /** {@link #_openPort} of an instance of its own port when {@link #MAX_OWN_PORTS} are open. */
    long NO_PORT_LEFT = -7;

    /** Drawer kick-out connector pin 2 for {@link #_OpenDrawer}. */
    long DRAWER_PIN_2 = 2;
    /** Drawer kick-out connector pin 5 for {@link #_OpenDrawer}. */
    long DRAWER_PIN_5 = 5;

    /**
     * Loads a port library for the classes of this package.
     *
     * <p>The JVM binds a native library to the class loader of the class that calls {@code
     * System.load}, and looks up natives only in the libraries of their own class's loader. A
     * service whose code lives in another class loader (a plug-in, a launcher) would load the
     * library and still get {@link UnsatisfiedLinkError}; loading from here always binds it to the
     * loader of the port classes.
     *
     * @param absolutePath e.g. /usr/lib/prn/libprnserial.so
     * @throws UnsatisfiedLinkError if the file is missing or is not a loadable library
     */
    static void load(String absolutePath) {
        System.load(absolutePath);
    }

    /**
     * Loads a port library by name: "prnserial", "prnnet", "prnusb" or "prnparallel". It is looked
     * for, in this order:
     *
     * <ol>
     *   <li>in the folder the system property {@code prnjpos.library.dir} names, when it is set;
     *   <li>in the installation this jar belongs to: PREFIX/lib/prnjpos/ for
     *       PREFIX/share/java/prnjpos.jar (/usr/lib/prnjpos/ with the package);
     *   <li>on the JVM's {@code java.library.path}.
     * </ol>
     *
     * <p>Like {@link #load(String)}, it binds the library to the loader of the port classes.
     *
     * @param name the library's name without "lib" and ".so"
     * @return the file that was loaded, or the bare name when it came from java.library.path
     * @throws UnsatisfiedLinkError if it is in none of these places or is not a loadable library
     */
    static String loadLibrary(String name) {
        final String file = System.mapLibraryName(name);
        final String dir = System.getProperty("prnjpos.library.dir");
        if (dir != null && !dir.isEmpty()) {
            final String path = new File(dir, file).getAbsolutePath();
            System.load(path);
            return path;
        }
        final File installed = installedLibrary(file);
        if (installed != null) {
            System.load(installed.getAbsolutePath());
            return installed.getAbsolutePath();
        }
        System.loadLibrary(name);
        return name;
    }

    /** PREFIX/lib/prnjpos/FILE beside the PREFIX/share/java/ this class was loaded from. */
    private static File installedLibrary(String file) {
        try {
            final CodeSource source = NativePort.class.getProtectionDomain().getCodeSource();
            if (source == null || source.getLocation() == null) return null;
            final File java = new File(source.getLocation().toURI()).getParentFile();
            if (java == null || java.getParentFile() == null) return null;
            final File prefix = java.getParentFile().getParentFile();
            if (prefix == null) return null;
            final File library = new File(new File(prefix, "lib/prnjpos"), file);
            return library.isFile() ? library : null;
        } catch (URISyntaxException | IllegalArgumentException | SecurityException e) {
            return null;
        }
    }

    /**
     * Opens the connection and asks the printer whether it is ready.
     *
     * @param jstrport device path, or "SOCKET:" and an IPv4 address for a network printer
     * @param jstrbaud serial settings "rate,parity,data,stop,flow" or a bare rate; the TCP port
     *     number for a network printer
     * @return 0 open; 1 cover open and 2 paper end (the connection is closed again); negative on
     *     failure
     */
    long _openPort(String jstrport, String jstrbaud);

    /** Claims the printer, thermal or impact, and starts watching its status. */
    long _claim(long timeout, boolean IsThermal);

    void _release();

    /**
     * Stops the status watch and closes the connection. Blocks for the release wait when a claim
     * started the watch (1 s serial, 300 ms network); everything a write reported as written
     * still goes to the printer first.
     */
    void _closePort();

    /** Reads what the printer has sent into the start of {@code rbuf}; returns the count. */
    int _readData(byte[] rbuf, int rlen, long rtimeout);

    /** Sends the first {@code slen} bytes of {@code sbuf} unchanged; returns the count sent. */
    int _writeData(byte[] sbuf, int slen, long stimeout);

    /** One of the {@code STATUS_} values, as last reported by the printer while claimed. */
    int _getPrinterStatus(long ptimeout);

    /** Non-zero while the cash drawer is reported open. */
    int _getCashDrawerStatus(long ctimeout);

    /**
     * Pulses a drawer kick-out pin (2 or 5) with on and off times in milliseconds; 1 for any
     * other pin (nothing is sent).
     */
    int _OpenDrawer(long PinNo, long PulseOnTime, long PulseOffTime);

    int _WaitForUntilDrawerClose(boolean WaitClosed);

    /**
     * Waits until everything sent so far has been printed: the printer's answer to a request
     * sent behind the data. The request is sent again every 10 s while the printer stays silent.
     * The wait ends early on cover open or paper end, and when another thread closes the port.
     * Without a claim (no status watch) it returns false at once. {@code WaitTime} is not a
     * limit: the library has none of its own.
     *
     * @return true when the printer answered
     */
    boolean _WaitForCompletePrinting(long WaitTime);
}
