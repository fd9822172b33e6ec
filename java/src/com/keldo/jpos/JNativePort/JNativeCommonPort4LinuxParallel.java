package com.keldo.jpos.JNativePort;

/**
 * A printer on a parallel port (libprnparallel.so): open with the parallel-port device path. Its
 * natives live in the library built for this class (see {@link NativePort}).
 */
public class JNativeCommonPort4LinuxParallel implements NativePort {
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
