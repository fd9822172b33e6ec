package com.keldo.jpos.JNativePort;

/**
 * A printer on a parallel port (libprnparallel.so): open with the parallel-port device path of
 * the kernel's ppdev driver, e.g. /dev/parport0; the settings text is ignored. Its natives live
 * in the library built for this class (see {@link NativePort}).
 *
 * <p>The port is claimed from the open until the close, so no other user can print on it
 * meanwhile. The printer answers over the port's reverse channel (nibble mode): a printer
 * without one, or switched off, cannot be opened. A write waits for the status lines to show
 * the printer free of faults and not busy, and gives up after 5 s with nothing sent. A thermal
 * claim starts the status monitor; an impact claim starts no thread.
 */
public class JNativeCommonPort4LinuxParallel implements NativePort {
    /**
     * The port this instance acts on: {@link NativePort#SHARED_PORT} for the one port every
     * instance made with the public constructor shares, or this instance's own (its library's
     * handle after an open, {@link NativePort#NO_PORT} before it and after the close). The
     * library reads and writes it; nothing else should.
     */
    private volatile long portHandle;

    /** An instance on the shared port: every instance made so acts on the same printer. */
    public JNativeCommonPort4LinuxParallel() {
        this(SHARED_PORT);
    }

    private JNativeCommonPort4LinuxParallel(long portHandle) {
        this.portHandle = portHandle;
    }

    /**
     * A new instance with a port of its own: its open takes a port for it alone (its own
     * connection, status, monitor, completion waits and drawer state), its close gives it back.
     * Any number of such instances, of this class and the others, print side by side in one JVM,
     * up to {@link NativePort#MAX_OWN_PORTS} open at once per library.
     */
    public static JNativeCommonPort4LinuxParallel newPort() {
        return new JNativeCommonPort4LinuxParallel(NO_PORT);
    }

    @Override
    public native long _openPort(String jstrport, String jstrbaud);

    @Override
    public native long _claim(long timeout, boolean IsThermal);

    @Override
    public native void _release();

    @Override
    public native void _closePort();

    @Override
    public native int _readData(byte[] rbuf, int rlen, long rtimeout);

    @Override
    public native int _writeData(byte[] sbuf, int slen, long stimeout);

    @Override
    public native int _getPrinterStatus(long ptimeout);

    @Override
    public native int _getCashDrawerStatus(long ctimeout);

    @Override
    public native int _OpenDrawer(long PinNo, long PulseOnTime, long PulseOffTime);

    @Override
    public native int _WaitForUntilDrawerClose(boolean WaitClosed);

    /**
     * After a thermal claim, asks the printer (GS ( H) to answer once it has printed everything
     * sent before, and returns true on its answer. After an impact claim, or without a claim,
     * there is no monitor to hear the answer: returns false at once and sends nothing.
     */
    @Override
    public native boolean _WaitForCompletePrinting(long WaitTime);
}
