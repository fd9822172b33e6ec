package com.keldo.jpos.JNativePort;

/**
 * A printer on a USB printer-class device node (libprnusb.so): open with the node path. Its natives
 * live in the library built for this class (see {@link NativePort}).
 */
public class JNativeCommonPort4LinuxUSB implements NativePort {
    /**
     * The port this instance acts on: {@link NativePort#SHARED_PORT} for the one port every
     * instance made with the public constructor shares, or this instance's own (its library's
     * handle after an open, {@link NativePort#NO_PORT} before it and after the close). The
     * library reads and writes it; nothing else should.
     */
    private volatile long portHandle;

    /** An instance on the shared port: every instance made so acts on the same printer. */
    public JNativeCommonPort4LinuxUSB() {
        this(SHARED_PORT);
    }

    private JNativeCommonPort4LinuxUSB(long portHandle) {
        this.portHandle = portHandle;
    }

    /**
     * A new instance with a port of its own: its open takes a port for it alone (its own
     * connection, status, monitor, completion waits and drawer state), its close gives it back.
     * Any number of such instances, of this class and the others, print side by side in one JVM,
     * up to {@link NativePort#MAX_OWN_PORTS} open at once per library.
     */
    public static JNativeCommonPort4LinuxUSB newPort() {
        return new JNativeCommonPort4LinuxUSB(NO_PORT);
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

    @Override
    public native boolean _WaitForCompletePrinting(long WaitTime);
}
