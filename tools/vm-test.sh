#!/usr/bin/env bash
# The deliverables on the kernel's own drivers. Boots Debian's kernel in qemu under software
# emulation with a busybox initramfs; the host's /usr and /etc and the project (with its build
# folder) are shared over 9p. Inside: usblp over the printer gadget on dummy_hcd (its device ID is
# the printer function's pnp_string, which cases change between an unbind and a bind to plug in
# another printer), cdc-acm over the ACM gadget, ppdev over the machine's emulated parallel port,
# whose output lands in a file here.
# Each case prints PASS or FAIL; the tier ends with one "N passed, N failed" line.
#   tools/vm-test.sh [BUILD]   BUILD: a built normal tree (default: build)
#   PRN_VM_CACHE=DIR           where the kernel, busybox and the initramfs are kept (BUILD/vm)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build}" && pwd)
cache=${PRN_VM_CACHE:-$build/vm}
mkdir -p "$cache"
started=$(date +%s.%N)

if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
# qemu from apt; the kernel and busybox are Debian's packages unpacked into the cache, so that
# nothing on this machine boots or builds an initramfs of its own for them.
if ! command -v qemu-system-x86_64 > /dev/null; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    qemu-system-x86 > /dev/null
fi
unpack() {  # unpack PACKAGE DIR
  [ -d "$2" ] && return 0
  local dl
  dl=$(mktemp -d)
  (cd "$dl" && apt-get download "$1" > /dev/null 2>&1) ||
    { $sudo apt-get update -qq && (cd "$dl" && apt-get download "$1" > /dev/null 2>&1); }
  dpkg-deb -x "$dl"/*.deb "$2.part"
  mv "$2.part" "$2"
  rm -rf "$dl"
}
kernel_package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/ {print $2; exit}')
unpack "$kernel_package" "$cache/$kernel_package"
unpack busybox-static "$cache/busybox-static"
kdir="$cache/$kernel_package"
kver=$(ls "$kdir/lib/modules")
vmlinuz="$kdir/boot/vmlinuz-$kver"

# The initramfs: busybox, the modules with their dependencies in loading order, and /init.
rd="$cache/initramfs"
rm -rf "$rd"
mkdir -p "$rd"/{bin,sbin,dev,proc,sys,tmp,run,usr,etc,modules,mnt}
cp "$cache/busybox-static/bin/busybox" "$rd/bin/busybox"
ln -s usr/lib "$rd/lib"
ln -s usr/lib64 "$rd/lib64"
python3 - "$kdir/lib/modules/$kver" "$rd/modules" <<'EOF'
import os, re, shutil, sys
tree, out = sys.argv[1], sys.argv[2]
wanted = ["virtio_pci", "9pnet_virtio", "9p", "configfs", "dummy_hcd", "libcomposite",
          "usb_f_printer", "usb_f_acm", "usblp", "cdc_acm", "parport_pc", "ppdev"]
paths = {}
for folder, _, files in os.walk(tree):
    for f in files:
        if f.endswith(".ko"):
            paths[f[:-3].replace("-", "_")] = os.path.join(folder, f)
order = []
def add(name):
    name = name.replace("-", "_")
    if name in order:
        return
    with open(paths[name], "rb") as ko:
        found = re.search(rb"depends=([^\0]*)\0", ko.read())
    for dep in (found.group(1).decode().split(",") if found else []):
        if dep:
            add(dep)
    order.append(name)
for name in wanted:
    add(name)
for name in order:
    shutil.copy(paths[name], os.path.join(out, name + ".ko"))
with open(os.path.join(out, "order"), "w") as f:
    f.write("\n".join(order) + "\n")
EOF
guest_build=$build
out="$build/vm/out"  # what the guest leaves for the host
rm -rf "$out"
mkdir -p "$out"
cat > "$rd/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
for m in \$(cat /modules/order); do insmod /modules/\$m.ko || echo "insmod \$m failed"; done
nine="-t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=none"
mount \$nine,ro usr /usr
mount \$nine,ro etc /etc
mkdir -p $root
mount \$nine src $root
if [ ! -d $guest_build/tests ]; then mkdir -p $guest_build; mount \$nine build $guest_build; fi
mount -t configfs none /sys/kernel/config
echo "guest: up after \$(cut -d' ' -f1 /proc/uptime) s"
sh $root/tools/vm-guest.sh $guest_build $out
poweroff -f
sleep 10
EOF
chmod +x "$rd/init"
(cd "$rd" && find . | "$rd/bin/busybox" cpio -o -H newc 2> /dev/null | gzip -1 > "$cache/initramfs.cpio.gz")

parallel_out="$cache/parallel.out"
: > "$parallel_out"
shares=(-virtfs "local,path=/usr,mount_tag=usr,security_model=none,readonly=on"
        -virtfs "local,path=/etc,mount_tag=etc,security_model=none,readonly=on"
        -virtfs "local,path=$root,mount_tag=src,security_model=none")
case "$build/" in "$root"/*) ;; *) shares+=(-virtfs "local,path=$build,mount_tag=build,security_model=none") ;; esac
log="$cache/console.log"
booted=$(date +%s.%N)
set +e
timeout "${PRN_VM_TIMEOUT:-900}" qemu-system-x86_64 -machine pc -accel tcg -cpu max -smp 2 -m 2048 \
  -nographic -no-reboot -kernel "$vmlinuz" -initrd "$cache/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  "${shares[@]}" -parallel "file:$parallel_out" 2>&1 | tee "$log"
set -e
ended=$(date +%s.%N)

# What came out of the machine's parallel port: the job the guest wrote, then only the open
# probes' first question (DLE EOT 2), which nothing there answers.
python3 - "$out/parallel-expected.bin" "$parallel_out" <<'EOF' | tee -a "$log"
import sys
try:
    job = open(sys.argv[1], "rb").read()
except OSError:
    job = b""
got = open(sys.argv[2], "rb").read()
rest = got[len(job):]
probes = len(rest) // 3
if job and got.startswith(job) and rest == b"\x10\x04\x02" * probes:
    print("PASS Host.CompatibilityDataArrivedIntact (%d bytes, then DLE EOT 2 x %d)" % (len(job), probes))
else:
    print("FAIL Host.CompatibilityDataArrivedIntact (%d bytes on the host side, %d expected first)"
          % (len(got), len(job)))
EOF
passed=$(grep -c '^PASS ' "$log" || true)
failed=$(grep -c '^FAIL ' "$log" || true)
grep -q '^guest: done' "$log" || { echo "FAIL Host.GuestRanToTheEnd" | tee -a "$log"; failed=$((failed + 1)); }
awk -v s="$started" -v b="$booted" -v e="$ended" 'BEGIN {
  printf "vm tier: %.1f s in all, %.1f s preparing, %.1f s in the machine\n", e - s, b - s, e - b }'
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
