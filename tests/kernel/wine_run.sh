#!/usr/bin/env bash
# The Windows HID layer against the real Linux HID core: the Windows pravune-cli.exe (MinGW)
# under Wine, inside the kernel test's QEMU guest, finds and programs pravune-vmodule's uhid
# modules through Wine's own HID stack (winebus, hidraw, hidclass, SetupDi and HidD). The guest
# shares this machine's file system read-only (9p, under a tmpfs overlay) and chroots into it,
# so Wine and the programs come from here; wine_guest.sh runs the cases there.
#   Usage: tests/kernel/wine_run.sh [BUILD_WIN]
# Runs after scripts/windows.sh (BUILD_WIN/pravune-cli.exe) and tests/kernel/run.sh (the static
# guest programs and the kernel); judges by the guest's lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win=$(realpath "${1:-$root/build-win}")
work=${KERNEL_TEST_DIR:-$root/build-kernel}
source "$root/scripts/deps.sh"
install_missing qemu-system-x86 busybox-static
for needed in "$win/pravune-cli.exe" "$work/build/pravune-vmodule" "$work/build/pravune-cli" \
    "$work/kernel/current"; do
    [ -e "$needed" ] || { echo "missing $needed: run scripts/windows.sh and tests/kernel/run.sh first"; exit 1; }
done
kernel_dir=$(realpath "$work/kernel/current")
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-*)

echo "-- Wine's folder (winebus on hidraw, watching /dev without udevd)"
prefix="$work/wine"
if [ ! -f "$prefix/done" ]; then
    rm -rf "$prefix"
    (
        export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        wine wineboot -i > "$work/wine.log" 2>&1
        key='HKLM\System\CurrentControlSet\Services\winebus'
        wine reg add "$key" /v 'Enable SDL' /t REG_DWORD /d 0 /f >> "$work/wine.log" 2>&1
        wine reg add "$key" /v DisableUdevd /t REG_DWORD /d 1 /f >> "$work/wine.log" 2>&1
        wineserver -w
    )
    touch "$prefix/done"
fi

echo "-- initramfs"
modules="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci 9pnet
    9pnet_virtio netfs fscache 9p overlay hid hid-generic uhid"
rootfs="$work/wine-rootfs"
rm -rf "$rootfs" && mkdir -p "$rootfs"/{bin,lib/modules,proc,sys,dev,host,rw,newroot}
cp /bin/busybox "$rootfs/bin/busybox"
for module in $modules; do
    cp "$(find "$kernel_dir/lib/modules" -name "$module.ko*" | head -n 1)" "$rootfs/lib/modules/"
done
cat > "$rootfs/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(echo $modules); do insmod /lib/modules/\$module.ko* || echo "insmod \$module failed"; done
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose,ro hostroot /host
mount -t tmpfs tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /newroot
r=/newroot
mount -t proc proc \$r/proc
mount -t sysfs sysfs \$r/sys
# /dev a plain tmpfs, not devtmpfs: Wine misreads devtmpfs's events for a new node.
mount -t tmpfs tmpfs \$r/dev
mknod -m 666 \$r/dev/null c 1 3
mknod -m 666 \$r/dev/zero c 1 5
mknod -m 666 \$r/dev/full c 1 7
mknod -m 666 \$r/dev/random c 1 8
mknod -m 666 \$r/dev/urandom c 1 9
mknod -m 666 \$r/dev/tty c 5 0
mknod -m 600 \$r/dev/console c 5 1
mknod -m 666 \$r/dev/ptmx c 5 2
mknod -m 600 \$r/dev/uhid c 10 239
mkdir -p \$r/dev/pts \$r/dev/shm
mount -t devpts devpts \$r/dev/pts
mount -t tmpfs tmpfs \$r/dev/shm
mount -t tmpfs tmpfs \$r/run
mount -t tmpfs tmpfs \$r/tmp
echo WINE-STAGE-BEGIN
chroot \$r /usr/bin/env WINEPREFIX="$prefix" PATH=/usr/bin:/bin:/usr/sbin:/sbin /bin/bash \\
    "$root/tests/kernel/wine_guest.sh" "$win/pravune-cli.exe" "$work/build/pravune-vmodule" \\
    "$work/build/pravune-cli" "$root/examples/pravune-sample.hex"
echo "WINE-STAGE-EXIT \$?"
poweroff -f
INIT
chmod +x "$rootfs/init"
(cd "$rootfs" && find . | busybox cpio -o -H newc 2> /dev/null | gzip -1) > "$work/wine-initramfs.gz"

echo "-- boot (QEMU, TCG; the host's root shared read-only)"
log="$work/wine-console.log"
started=$(date +%s)
# -cpu max needs smap=off: with SMAP every Wine process dies at a user-mode iretq under TCG.
timeout 420 qemu-system-x86_64 -accel tcg -cpu max,smap=off -smp 2 -m 4096 -nographic \
    -no-reboot -nodefaults -serial stdio -kernel "$vmlinuz" -initrd "$work/wine-initramfs.gz" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" < /dev/null 2>&1 |
    tr -d '\r' > "$log" || true
sed -n '/WINE-STAGE-BEGIN/,/WINE-STAGE-EXIT/p' "$log" | grep -a -v WINE-STAGE-BEGIN
echo "the guest's whole run: $(($(date +%s) - started)) s"
if ! grep -a -q -E '^[0-9]+ passed, 0 failed$' "$log" || ! grep -a -q 'WINE-STAGE-EXIT 0' "$log"; then
    echo "Windows HID test failed; the console is in $log"
    tail -n 30 "$log"
    exit 1
fi
