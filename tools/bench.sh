#!/usr/bin/env bash
# The figures that matter at a till, measured in one run on the virtual printers: print data
# against plain writers (and CUPS's socket backend), the USB rate against its ceiling, the
# completion and status waits, the waits the Java side relies on, idle CPU, the network writer
# against a printer slow to acknowledge and one that stalls mid-job, what each port of its own
# costs and how well ports are kept apart, and the memory a library adds to a JVM. Builds the Release tree first.
#   tools/bench.sh [ROUNDS]        PRN_BENCH_BASELINE=OTHER-BUILD adds its waits and network
#                                  writer for comparison
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-20}
build=build-release
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
# GCC 12 at -O3 warns of an overlapping copy inside std::string in the virtual printer's state
# file code (a false -Wrestrict): a warning here, not an error.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPRN_BUILD_JAVA=OFF -DPRN_SANITIZE= \
  -DCMAKE_CXX_FLAGS=-Wno-error=restrict > /dev/null
# CUPS's socket backend: Debian ships it in package cups (with the whole print server); only
# the backend is taken out of it, beside the build, with the client library it links.
cups=/usr/lib/cups/backend/socket
if [ ! -x "$cups" ]; then
  cups="$PWD/$build/cups/usr/lib/cups/backend-available/socket"
  if [ ! -x "$cups" ]; then
    dpkg-query -W -f='${Status}' libcups2 2>/dev/null | grep -q "install ok installed" ||
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libcups2 > /dev/null
    dl=$(mktemp -d)
    (cd "$dl" && apt-get download cups > /dev/null 2>&1) && dpkg-deb -x "$dl"/cups_*.deb "$build/cups" ||
      echo "CUPS's socket backend is not to be had: no CUPS rows"
    rm -rf "$dl"
  fi
fi
cmake --build "$build" -j"${PRN_JOBS:-2}" --target print_bench usb_bench wait_bench net_bench \
  ports_bench > /dev/null

echo "== print data"
"$build/bench/print_bench" --rounds "$(( (rounds + 2) / 3 ))" --cups "$cups"
echo "== USB"
"$build/bench/usb_bench" --rounds "$(( (rounds + 3) / 4 ))" --idle-seconds 5
echo "== waits"
baseline=()
[ -n "${PRN_BENCH_BASELINE:-}" ] && baseline=(--baseline "$PRN_BENCH_BASELINE")
"$build/bench/wait_bench" --rounds "$rounds" --idle-seconds 10 "${baseline[@]}"
echo "== network writer"
"$build/bench/net_bench" --rounds "$(( (rounds + 3) / 4 ))" "${baseline[@]}"
echo "== ports of their own"
"$build/bench/ports_bench" --rounds "$rounds" --idle-seconds 5 --serial
echo "== resident memory a library adds to a JVM (KiB, median of 3 JVMs)"
probe=$(mktemp -d)
javac -d "$probe" bench/java/ResidentProbe.java
for lib in jni/serial/libprnserial.so jni/ethernet/libprnnet.so jni/usb/libprnusb.so \
           jni/parallel/libprnparallel.so; do
  added=$(for i in 1 2 3; do java -Xshare:auto -cp "$probe" ResidentProbe "$PWD/$build/$lib"; done |
          sort -n | sed -n 2p)
  printf '  %-28s +%s KiB (JVM at %s KiB before)\n' "$(basename "$lib")" ${added}
done
rm -rf "$probe"
