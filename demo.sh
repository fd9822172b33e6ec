#!/bin/sh
# Builds everything and prints a sample receipt through libprnserial.so from a JVM.
#   ./demo.sh                      on the virtual printer (started by the demo, text view shown)
#   ./demo.sh DEVICE [SETTINGS]    on a real printer, e.g. ./demo.sh /dev/ttyUSB0 9600,none,8,1,none
#   ./demo.sh --net                the same through libprnnet.so on a virtual network printer
#   ./demo.sh --net SOCKET:ADDRESS PORT   on a real network printer
# BUILD_DIR chooses the build folder (default: build).
set -e
root=$(cd "$(dirname "$0")" && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DPRN_BUILD_JAVA=ON -DPRN_SANITIZE=
cmake --build "$build" -j2
exec sh "$build/receipt-demo.sh" "$@"
