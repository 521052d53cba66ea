# shellcheck shell=bash disable=SC2034  # sets variables for the caller
# Shared by the kernel stages (sourced, not run): packages, Debian's kernel
# unpacked (never installed), its modules for an initramfs, and the qemu
# accelerator.

# Ends the stage as skipped: "skipped: REASON", exit status 77.
skip() {
  echo "skipped: $*"
  exit 77
}

qk_sudo=""
[[ $(id -u) -ne 0 ]] && qk_sudo="sudo -n"

# Installs the Debian packages named when any is missing; skips the stage
# when they cannot be had.
qk_install() {
  (($#)) || return 0
  echo "installing $*"
  if ! DEBIAN_FRONTEND=noninteractive $qk_sudo apt-get install -y -qq --no-install-recommends \
      "$@" >/dev/null 2>&1; then
    $qk_sudo apt-get update -qq >/dev/null 2>&1
    DEBIAN_FRONTEND=noninteractive $qk_sudo apt-get install -y -qq --no-install-recommends \
      "$@" >/dev/null 2>&1 || skip "cannot install $*"
  fi
}

# What every guest needs on the host: qemu, a static busybox and cpio.
qk_install_guest_tools() {
  local need=()
  command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
  dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q 'ok installed' ||
    need+=(busybox-static)
  command -v cpio >/dev/null || need+=(cpio)
  qk_install "${need[@]}"
}

# qk_kernel META DIR: the kernel package META (linux-image-amd64) depends
# on, downloaded and unpacked into DIR once; sets qk_vmlinuz.
qk_kernel() {
  local meta=$1 dir=$2 package pattern
  pattern="s/^ *Depends: \\(linux-image-[0-9][^ ]*\\)\$/\\1/p"
  if ! compgen -G "$dir/boot/vmlinuz-*" >/dev/null; then
    rm -rf "$dir"
    mkdir -p "$dir.download"
    package=$(apt-cache depends "$meta" 2>/dev/null | sed -n "$pattern" | head -1)
    if [[ -z $package ]]; then
      $qk_sudo apt-get update -qq >/dev/null 2>&1
      package=$(apt-cache depends "$meta" 2>/dev/null | sed -n "$pattern" | head -1)
    fi
    [[ -n $package ]] || skip "apt knows no $meta"
    (cd "$dir.download" && apt-get download "$package" >/dev/null 2>&1) ||
      skip "cannot download $package"
    dpkg -x "$dir.download/${package}"_*.deb "$dir" || skip "cannot unpack $package"
    rm -rf "$dir.download"
  fi
  qk_vmlinuz=$(compgen -G "$dir/boot/vmlinuz-*" | head -1)
}

# qk_modules KERNEL_DIR DEST NAME...: each module NAME.ko, decompressed into
# DEST (the guest's busybox insmod takes plain .ko files).
qk_modules() {
  local kernel=$1 dest=$2 m found
  shift 2
  mkdir -p "$dest"
  for m in "$@"; do
    found=$(find "$kernel/lib/modules" \( -name "$m.ko" -o -name "$m.ko.xz" -o \
            -name "$m.ko.zst" \) | head -1)
    [[ -n $found ]] || { echo "the kernel has no $m module"; return 1; }
    case $found in
      *.xz) xz -dc "$found" >"$dest/$m.ko" ;;
      *.zst) zstd -qdc "$found" >"$dest/$m.ko" ;;
      *) cp "$found" "$dest/$m.ko" ;;
    esac || { echo "cannot decompress $found"; return 1; }
  done
}

# kvm when this machine offers it, else tcg; sets qk_accel.
qk_accelerator() {
  qk_accel=tcg
  if grep -qwE 'vmx|svm' /proc/cpuinfo && [[ -w /dev/kvm ]]; then qk_accel=kvm; fi
}
