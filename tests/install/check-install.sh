#!/usr/bin/env bash
# The install layout and the Debian package of a build: check-install.sh BUILD SOURCE
#  - cmake --install gives PREFIX/lib/prnjpos (four libraries), PREFIX/share/java/prnjpos.jar,
#    PREFIX/bin/prnctl and prnsim, PREFIX/share/doc/prnjpos;
#  - everything installed needs the C library alone, and nothing carries a search path;
#  - the installed prnctl finds the installed libraries, and a JVM finds them through the jar;
#  - cpack makes a package that depends on libc6 alone, with the same files under /usr.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d /tmp/prn-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log"
expected="bin/prnctl
bin/prnsim
lib/prnjpos/libprnnet.so
lib/prnjpos/libprnparallel.so
lib/prnjpos/libprnserial.so
lib/prnjpos/libprnusb.so
share/doc/prnjpos/60-prnjpos.rules
share/doc/prnjpos/README.md"
if [ -e "$build/java/prnjpos.jar" ]; then expected="$expected
share/java/prnjpos.jar"; fi
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$(echo "$expected" | sort)" ] || fail "installed files differ:
$actual"
echo "layout: $(echo "$actual" | wc -l) files as expected"

for elf in "$prefix"/bin/* "$prefix"/lib/prnjpos/*.so; do
  needed=$(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  case "$needed" in
    "libc.so.6 " | "ld-linux-x86-64.so.2 libc.so.6 ") ;;
    *) fail "$elf needs $needed" ;;
  esac
  ! readelf -d "$elf" | grep -qE '\((RPATH|RUNPATH)\)' || fail "$elf carries a search path"
done
echo "linkage: every binary needs the C library alone"

version=$("$prefix/bin/prnctl" --version)
[[ $version == "prnctl "* ]] || fail "prnctl --version said: $version"
set +e
"$prefix/bin/prnctl" serial /dev/ttyPRN-none probe > "$work/probe.out" 2>&1
code=$?
set -e
[ $code -eq 2 ] || fail "the installed prnctl did not reach its library (exit $code): $(cat "$work/probe.out")"
echo "prnctl: $version, finds $prefix/lib/prnjpos"

if [ -e "$prefix/share/java/prnjpos.jar" ]; then
  out=$(java -cp "$prefix/share/java/prnjpos.jar" "$source/tests/install/InstalledLoad.java")
  grep -qx "loaded $prefix/lib/prnjpos/libprnserial.so" <<< "$out" || fail "the jar's loader: $out"
  grep -qx "_openPort -1" <<< "$out" || fail "the natives: $out"
  echo "java: the jar loads $prefix/lib/prnjpos/libprnserial.so by itself"
fi

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$work"/package/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "the package depends on: $depends"
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort)
[ "$listed" = "$(echo "$expected" | sort)" ] || fail "the package holds:
$listed"
dpkg-deb -x "$deb" "$work/unpacked"
"$work/unpacked/usr/bin/prnctl" --version > /dev/null || fail "the packaged prnctl does not run"
echo "package: $(basename "$deb"), Depends: $depends"
