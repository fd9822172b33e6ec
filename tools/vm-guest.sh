#!/bin/sh
# Runs inside the test machine of tools/vm-test.sh (busybox sh, as root): plugs in a USB gadget
# with a printer and an ACM function, then runs the cases on usblp, cdc-acm and ppdev and one
# JVM per deliverable. Every case prints a PASS or FAIL line; the host counts them.
#   vm-guest.sh BUILD OUT
build=$1
out=$2
export PRN_VM_OUT=$out
say() { echo "$*"; }
fail() { say "FAIL $1${2:+ ($2)}"; }
waitfor() {  # waitfor PATH SECONDS
  i=0
  while [ ! -e "$1" ] && [ "$i" -lt "$(($2 * 10))" ]; do sleep 0.1; i=$((i + 1)); done
  [ -e "$1" ]
}

# The gadget: one composite device, a printer function and an ACM function.
g=/sys/kernel/config/usb_gadget/prn
mkdir -p $g/strings/0x409 $g/configs/c.1/strings/0x409 $g/functions/printer.usb0 \
  $g/functions/acm.usb0
echo 0x1d6b > $g/idVendor
echo 0x0104 > $g/idProduct
echo 0xEF > $g/bDeviceClass      # composite with an interface association (ACM)
echo 0x02 > $g/bDeviceSubClass
echo 0x01 > $g/bDeviceProtocol
echo "Virtual" > $g/strings/0x409/manufacturer
echo "Receipt printer" > $g/strings/0x409/product
echo "0001" > $g/strings/0x409/serialnumber
echo "printer and serial" > $g/configs/c.1/strings/0x409/configuration
# The device ID usblp reads when the gadget binds (LPIOC_GET_DEVICE_ID); cases change it between
# an unbind and a bind to plug in another printer. No line's end (the function would keep it),
# and two spaces that the function never sends, so that its reply is a printer's: see
# tests/vm/VmSupport.h.
printf '%s  ' "MFG:Virtual;MDL:Receipt;CMD:ESC/POS;CLS:PRINTER;" > $g/functions/printer.usb0/pnp_string
ln -s $g/functions/printer.usb0 $g/configs/c.1/
ln -s $g/functions/acm.usb0 $g/configs/c.1/
udc=$(ls /sys/class/udc | head -n 1)
export PRN_VM_GADGET=$g PRN_VM_UDC=$udc PRN_VM_PRINTER_FUNCTION=$g/functions/printer.usb0
echo "$udc" > $g/UDC
for node in /dev/usb/lp0 /dev/g_printer0 /dev/ttyACM0 /dev/ttyGS0 /dev/parport0; do
  if waitfor $node 20; then say "guest: $node is there"; else fail "Guest.Node$node" "not there"; fi
done

cases() {  # cases NAME LIBRARY
  say "guest: $1"
  PRN_NATIVE_LIB=$2 "$build/tests/vm/$1" --gtest_brief=1 2>&1
  status=$?
  # 1 is failed cases (their lines say which); anything else is a crash that ended the run.
  [ "$status" -le 1 ] || fail "Guest.$1" "exit $status"
}
cases vm_usb_cases "$build/jni/usb/libprnusb.so"
cases vm_serial_cases "$build/jni/serial/libprnserial.so"
cases vm_parallel_cases "$build/jni/parallel/libprnparallel.so"

# One JVM per deliverable, with the JNI checks on: a warning from them fails the run.
java=$(ls -d /usr/lib/jvm/*/bin/java 2>/dev/null | head -n 1)
classpath="$build/java/prnjpos.jar:$build/tests/vm/prnvmcheck.jar"
jvm() {  # jvm KIND NODE LIBRARY [PRINTER-NODE [tty]]
  kind=$1
  node=$2
  lib=$3
  shift 3
  printer=
  if [ $# -gt 0 ]; then
    "$build/tests/vm/vm_printer" "$@" &
    printer=$!
  fi
  say "guest: JVM on $node"
  start=$(cut -d' ' -f1 /proc/uptime)
  "$java" -Xcheck:jni -XX:TieredStopAtLevel=1 -Xshare:auto -Dprn.lib="$lib" -cp "$classpath" \
    VmPortCheck "$kind" "$node" > /tmp/jvm.log 2>&1
  status=$?
  cat /tmp/jvm.log
  say "  JVM run: $(awk -v s="$start" '{ printf "%.1f", $1 - s }' /proc/uptime) s, exit $status"
  if grep -q "WARNING" /tmp/jvm.log; then fail "Jvm.$kind.NoJniWarnings"; fi
  [ "$status" -le 1 ] || fail "Jvm.$kind.Exit" "exit $status"
  [ -n "$printer" ] && kill "$printer" && wait "$printer"
}
if [ -x "$java" ]; then
  jvm usb /dev/usb/lp0 "$build/jni/usb/libprnusb.so" /dev/g_printer0
  jvm serial /dev/ttyACM0 "$build/jni/serial/libprnserial.so" /dev/ttyGS0 tty
  jvm parallel /dev/parport0 "$build/jni/parallel/libprnparallel.so"
else
  fail Guest.Java "no JVM under /usr/lib/jvm"
fi
say "guest: done after $(cut -d' ' -f1 /proc/uptime) s"
