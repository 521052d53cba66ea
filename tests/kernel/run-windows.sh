#!/usr/bin/env bash
# The kernel-windows stage: the Windows builds on a real HID device. Boots
# Debian's generic kernel under qemu, shares this machine's root file system
# into the guest read-only (9p), and there runs tests/kernel/windows-guest.sh
# in a chroot of it: the host's own Wine, on the guest's kernel, against
# simulated tokens served as hidraw nodes by `qktoken-sim uhid`.
#
#   tests/kernel/run-windows.sh BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR
#
# BUILD_DIR holds the native qktoken-sim; each Windows build its
# qktoken-driver.exe and qktoken-windows-test.exe (qktool.exe when built).
# Prints the guest's output, "N cases skipped: WHY" when the system under
# the guest could not show what a case checks, and "N passed, N failed". Exit status: 0 when
# every case passed, 1 when one failed or the guest did not finish, 77 when
# the stage cannot run here ("skipped: REASON" printed). The kernel is only
# unpacked into BUILD_DIR/kernel-windows-stage, never installed; the Wine
# prefix is made there once and reused.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: run-windows.sh BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR}" && pwd)
win32=$(cd "${2:?usage: run-windows.sh BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR}" && pwd)
win64=$(cd "${3:?usage: run-windows.sh BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR}" && pwd)
work=$build/kernel-windows-stage
guest_timeout=${QK_KERNEL_WINDOWS_TIMEOUT:-300}
# The guest runs Wine as an ordinary user, so that a node it may not open
# stays shut: 1000, or whoever runs the stage when that is not root.
wine_uid=1000
[[ $(id -u) -ne 0 ]] && wine_uid=$(id -u)
# hid-generic binds the devices; the virtio and 9p modules carry the shared
# root; overlay lays a writable layer over the Wine prefix. In load order.
modules=(hid hid-generic uhid virtio_ring virtio_pci_modern_dev virtio_pci_legacy_dev virtio
         virtio_pci 9pnet 9pnet_virtio netfs fscache 9p overlay)

# shellcheck source=tests/kernel/guest-kernel.sh
source "$here/guest-kernel.sh"

# ---- packages: qemu, a static busybox, Wine ----
qk_install_guest_tools
command -v wine >/dev/null || skip "Wine is not installed (scripts/install-deps.sh --full)"
command -v setpriv >/dev/null || skip "setpriv (util-linux) is missing"

programs=("$build/tools/sim/qktoken-sim")
for w in "$win32" "$win64"; do
  programs+=("$w/driver/qktoken-driver.exe" "$w/tests/kernel/qktoken-windows-test.exe")
done
for p in "${programs[@]}"; do
  [[ -f $p ]] || { echo "missing $p (build it first)"; exit 1; }
done

# ---- the kernel: Debian's generic image (shared with the kernel stage) ----
mkdir -p "$work"
qk_kernel linux-image-amd64 "$build/guest-kernel"

# ---- the Wine prefix, made here once and owned by the guest's Wine user ----
prefix=$work/wineprefix
# With SDL available Wine starts only its SDL bus, never the hidraw one; with
# no udevd (none runs in the guest) the hidraw bus follows /dev by inotify
# only when told to, and otherwise never sees a device come or go.
settings=('"Enable SDL"=dword:00000000' '"DisableUdevd"=dword:00000001')
prefix_ready() {
  local s
  for s in "${settings[@]}"; do grep -qF "$s" "$prefix/system.reg" 2>/dev/null || return 1; done
  [[ $(stat -c %u "$prefix") == "$wine_uid" ]]
}
if ! prefix_ready; then
  echo "preparing the Wine prefix (once)"
  rm -rf "$prefix"
  start=$SECONDS
  (
    export WINEPREFIX=$prefix WINEDEBUG=-all
    key='HKLM\System\CurrentControlSet\Services\winebus'
    timeout 300 wineboot -i >/dev/null 2>&1
    wine reg add "$key" /v 'Enable SDL' /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add "$key" /v DisableUdevd /t REG_DWORD /d 1 /f >/dev/null 2>&1
    wineserver -w
  )
  # The guest runs Wine as $wine_uid, which must own its prefix.
  [[ $(id -u) -eq 0 ]] && chown -R "$wine_uid:$wine_uid" "$prefix"
  prefix_ready || { echo "cannot prepare the Wine prefix $prefix"; exit 1; }
  echo "Wine prefix ready in $((SECONDS - start)) s"
fi

# ---- the initramfs: busybox, the modules, the guest's first script ----
root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,lib/modules}
cp /bin/busybox "$root/bin/busybox"
cp "$here/windows-init.sh" "$root/init"
chmod 755 "$root/init"
qk_modules "$build/guest-kernel" "$root/lib/modules" "${modules[@]}" || exit 1
printf '%s\n' "${modules[@]}" >"$root/etc/modules"
cat >"$root/etc/stage.env" <<EOF
QK_REPO='$repo'
QK_PREFIX='$prefix'
QK_SIM='$build/tools/sim/qktoken-sim'
QK_WIN32='$win32'
QK_WIN64='$win64'
QK_WINE_UID=$wine_uid
QK_GUEST_SCRIPT='${QK_KERNEL_WINDOWS_SCRIPT:-$here/windows-guest.sh}'
EOF
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" ||
  { echo "cannot pack the initramfs"; exit 1; }

# ---- boot ----
qk_accelerator
# Under TCG every Wine process died on its own iret with SMAP on.
cpu=${QK_QEMU_CPU:-max,-smap,-la57}
[[ $qk_accel == kvm ]] && cpu=host
echo "booting $(basename "$qk_vmlinuz") under qemu ($qk_accel), Wine inside"
log=$work/guest.log
start=$SECONDS
# multidevs=remap: the host's root spans several file systems, whose inode
# numbers would otherwise clash in the guest (Wine then finds no ntdll.so).
timeout "$guest_timeout" qemu-system-x86_64 -nographic -no-reboot -accel "$qk_accel" \
  -cpu "$cpu" -smp 2 -m 2048 -kernel "$qk_vmlinuz" -initrd "$work/initramfs.gz" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" </dev/null 2>&1 |
  tr -d '\r' | tee "$log"
echo "guest ran $((SECONDS - start)) s"

passed=$(grep -c '^\[kernel-windows\] PASS ' "$log")
failed=$(grep -c '^\[kernel-windows\] FAIL ' "$log")
skipped=$(grep -c '^\[kernel-windows\] SKIP ' "$log")
if ! grep -q '^\[kernel-windows\] DONE' "$log"; then
  echo "the guest did not finish"
  failed=$((failed + 1))
fi
if ((skipped)); then
  echo "$skipped cases skipped: $(sed -n 's/^\[kernel-windows\] SKIP [^:]*: //p' "$log" | sort -u |
    paste -sd';')"
fi
echo "$passed passed, $failed failed"
((failed == 0 && passed > 0))
