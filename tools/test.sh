#!/usr/bin/env bash
# Builds everything and runs every test.
#   tools/test.sh            the normal build (unit, fuzz, transport, JVM tests)
#   tools/test.sh address    AddressSanitizer + UndefinedBehaviorSanitizer build of the C++ tests
#   tools/test.sh thread     ThreadSanitizer build of the C++ tests
#   tools/test.sh vm         the normal build's libraries on the kernel's own drivers, in qemu
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-}"
jobs="${PRN_JOBS:-2}"
if [ "$kind" = vm ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPRN_BUILD_JAVA=ON -DPRN_SANITIZE=
  cmake --build build -j"$jobs"
  exec tools/vm-test.sh build
fi
if [ -z "$kind" ]; then
  build=build
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPRN_BUILD_JAVA=ON -DPRN_SANITIZE=
else
  build="build-$kind"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DPRN_SANITIZE="$kind" -DPRN_BUILD_JAVA=OFF
fi
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" -j"$jobs" --output-on-failure --timeout 600
