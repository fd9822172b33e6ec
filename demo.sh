#!/bin/sh
# Builds everything and prints a sample receipt through libprnserial.so from a JVM.
#   ./demo.sh                      on the virtual printer (started by the demo, text view shown)
#   ./demo.sh DEVICE [SETTINGS]    on a real printer, e.g. ./demo.sh /dev/ttyUSB0 9600,none,8,1,none
#   ./demo.sh --net                the same through libprnnet.so on a virtual network printer
#   ./demo.sh --net SOCKET:ADDRESS PORT   on a real network printer
#   ./demo.sh --usb                through libprnusb.so on a virtual USB printer, whose cable the
#                                  demo pulls and plugs back in while it is claimed
#   ./demo.sh --usb DEVICE         on a real USB printer, e.g. ./demo.sh --usb /dev/usb/lp0
#   ./demo.sh --parallel           through libprnparallel.so on a virtual parallel printer, which
#                                  the demo switches off and on while it is claimed (the modem
#                                  shim, preloaded into the demo's JVM alone, serves the port)
#   ./demo.sh --parallel DEVICE    on a real parallel port, e.g. ./demo.sh --parallel /dev/parport0
#   ./demo.sh --kitchen            three virtual printers in one JVM, each a port of its own: a
#                                  receipt printer on a serial line (libprnserial.so) and two
#                                  kitchen printers on the network (libprnnet.so). Orders print
#                                  on all three; one kitchen printer loses its link for a few
#                                  seconds and its tickets print once it is back. The screen
#                                  shows the three side by side (about 10 s; exit 1 when a job
#                                  did not print whole or another printer noticed)
# BUILD_DIR chooses the build folder (default: build). The build's output goes to
# BUILD_DIR/demo-build.log and is shown only when the build fails.
set -e
root=$(cd "$(dirname "$0")" && pwd)
build=${BUILD_DIR:-$root/build}
mkdir -p "$build"
log="$build/demo-build.log"
echo "Building everything in $build (a few minutes the first time) ..."
if ! { cmake -S "$root" -B "$build" -DPRN_BUILD_JAVA=ON -DPRN_SANITIZE= &&
       cmake --build "$build" -j2; } > "$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "demo.sh: the build failed; the whole log is $log" >&2
  exit 1
fi
exec sh "$build/receipt-demo.sh" "$@"
