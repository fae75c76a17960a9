#!/usr/bin/env bash
# The kernel test: programs pravune-vmodule through the real Linux HID core (hidraw and uhid) in
# a QEMU guest running Debian's stock kernel. Builds the guest's programs statically, takes the
# kernel and three modules out of Debian's kernel package, packs an initramfs with busybox,
# boots it under TCG with a time limit, and judges by the guest's closing line.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${KERNEL_TEST_DIR:-$root/build-kernel}
cd "$root"
source scripts/deps.sh
install_missing qemu-system-x86 busybox-static
mkdir -p "$work"

echo "-- static guest programs"
cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPRAVUNE_APP=OFF \
    -DPRAVUNE_TESTS=OFF -DPRAVUNE_BENCH=OFF -DPRAVUNE_KERNEL_TEST=ON \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DPRAVUNE_POSTGRES=OFF -DOPENSSL_USE_STATIC_LIBS=ON \
    -DSQLite3_LIBRARY="$(dpkg -L libsqlite3-dev | grep '/libsqlite3\.a$')" > "$work/cmake.log"
cmake --build "$work/build" --target kernel_driver pravune-vmodule pravune-cli > "$work/build.log"

echo "-- kernel and modules"
apt-cache show linux-image-amd64 > /dev/null 2>&1 || apt-get update -qq
pkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
kernel_dir="$work/kernel/$pkg"
# With the modules the Windows HID test's guest needs too (virtio, 9p and overlay: wine_run.sh).
if [ ! -f "$kernel_dir/done-9p" ]; then
    rm -rf "$kernel_dir" && mkdir -p "$kernel_dir"
    (cd "$kernel_dir" && apt-get download "$pkg" > /dev/null 2>&1)
    dpkg-deb --fsys-tarfile "$kernel_dir"/*.deb | tar -x -C "$kernel_dir" --wildcards \
        './boot/vmlinuz-*' '*/kernel/drivers/hid/hid.ko*' '*/kernel/drivers/hid/hid-generic.ko*' \
        '*/kernel/drivers/hid/uhid.ko*' '*/kernel/drivers/virtio/virtio*.ko*' \
        '*/kernel/net/9p/9pnet*.ko*' '*/kernel/fs/9p/9p.ko*' '*/kernel/fs/netfs/netfs.ko*' \
        '*/kernel/fs/fscache/fscache.ko*' '*/kernel/fs/overlayfs/overlay.ko*'
    rm -f "$kernel_dir"/*.deb
    touch "$kernel_dir/done-9p"
fi
ln -sfn "$kernel_dir" "$work/kernel/current"
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-*)

echo "-- initramfs"
rootfs="$work/rootfs"
rm -rf "$rootfs" && mkdir -p "$rootfs"/{bin,lib/modules,proc,sys,dev,tmp}
cp /bin/busybox "$rootfs/bin/busybox"
cp "$work/build/kernel_driver" "$work/build/pravune-vmodule" "$work/build/pravune-cli" "$rootfs/bin/"
strip "$rootfs/bin/kernel_driver" "$rootfs/bin/pravune-vmodule" "$rootfs/bin/pravune-cli"
for module in hid hid-generic uhid; do
    cp "$(find "$kernel_dir/lib/modules" -name "$module.ko*" | head -n 1)" "$rootfs/lib/modules/"
done
cat > "$rootfs/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
for module in hid hid-generic uhid; do insmod /lib/modules/$module.ko* || echo "insmod $module failed"; done
echo KERNEL-TEST-BEGIN
/bin/kernel_driver
echo "KERNEL-TEST-EXIT $?"
poweroff -f
INIT
chmod +x "$rootfs/init"
(cd "$rootfs" && find . | busybox cpio -o -H newc 2> /dev/null | gzip -1) > "$work/initramfs.gz"

echo "-- boot (QEMU, TCG)"
log="$work/console.log"
# QEMU's own exit code says nothing (a panic exits 0 too): the guest's lines decide.
timeout 150 qemu-system-x86_64 -accel tcg -m 512 -nographic -no-reboot -nodefaults \
    -serial stdio -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" < /dev/null 2>&1 |
    tr -d '\r' > "$log" || true
sed -n '/KERNEL-TEST-BEGIN/,/KERNEL-TEST-EXIT/p' "$log" | grep -a -v KERNEL-TEST-BEGIN
summary=$(grep -a -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1 || true)
if [ -z "$summary" ] || ! grep -a -q 'KERNEL-TEST-EXIT 0' "$log"; then
    echo "kernel test failed; the console is in $log"
    tail -n 30 "$log"
    exit 1
fi
