#!/usr/bin/env bash
# The kernel stage: boots Debian's generic kernel under qemu with a small
# initramfs holding busybox, the HID modules and this build's programs, and
# runs tests/kernel/guest-init.sh in it against simulated tokens served as
# real HID devices.
#
#   tests/kernel/run.sh BUILD_DIR
#
# Prints the guest's output and "N passed, N failed". Exit status: 0 when
# every case passed, 1 when one failed or the guest did not finish, 77 when
# the stage cannot run here ("skipped: REASON" printed). The kernel is only
# unpacked into BUILD_DIR/guest-kernel, never installed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
work=$build/kernel-stage
guest_timeout=${QK_KERNEL_TIMEOUT:-100}
programs=(tools/sim/qktoken-sim driver/qktoken-driver tools/qktool/qktool
          tests/kernel/qktoken-kernel-test)

# shellcheck source=tests/kernel/guest-kernel.sh
source "$here/guest-kernel.sh"

# ---- packages: qemu and a static busybox ----
qk_install_guest_tools

for p in "${programs[@]}"; do
  [[ -x $build/$p ]] || { echo "missing $build/$p (build it first)"; exit 1; }
done

# ---- the kernel: Debian's generic image, shared with the kernel-windows stage ----
mkdir -p "$work"
qk_kernel linux-image-amd64 "$build/guest-kernel"
vmlinuz=$qk_vmlinuz

# ---- the initramfs ----
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,run,sys,tmp,etc,lib/modules,home/tester}
cp /bin/busybox "$root/bin/busybox"
cp "$here/guest-init.sh" "$root/init"
chmod 755 "$root/init"
cp "$here/../../platform/linux/70-qktoken.rules" "$root/etc/"
printf 'root:x:0:0:root:/:/bin/sh\ntester:x:1000:1000:tester:/home/tester:/bin/sh\n' \
  >"$root/etc/passwd"
printf 'root:x:0:\ntester:x:1000:\n' >"$root/etc/group"
chown 1000:1000 "$root/home/tester" 2>/dev/null || true

# The modules, decompressed here: the guest's insmod takes plain .ko files.
qk_modules "$build/guest-kernel" "$root/lib/modules" hid hid-generic uhid || exit 1

# The programs and every shared library ldd names for them.
for p in "${programs[@]}"; do
  cp "$build/$p" "$root/bin/"
  ldd "$build/$p" | grep -o '/[^ ]*' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" ||
  { echo "cannot pack the initramfs"; exit 1; }

# ---- boot ----
qk_accelerator
accel=$qk_accel
echo "booting $(basename "$vmlinuz") under qemu ($accel)"
log=$work/guest.log
start=$SECONDS
timeout "$guest_timeout" qemu-system-x86_64 -nographic -no-reboot -accel "$accel" -smp 2 -m 512 \
  -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" </dev/null 2>&1 |
  tr -d '\r' | tee "$log"
echo "guest ran $((SECONDS - start)) s"

passed=$(grep -c '^\[kernel\] PASS ' "$log")
failed=$(grep -c '^\[kernel\] FAIL ' "$log")
if ! grep -q '^\[kernel\] DONE' "$log"; then
  echo "the guest did not finish"
  failed=$((failed + 1))
fi
echo "$passed passed, $failed failed"
((failed == 0 && passed > 0))
