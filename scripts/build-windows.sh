#!/usr/bin/env bash
# Cross-builds the library, the driver, the tools and the tests for Windows
# with MinGW-w64: 32-bit into build-win32/, 64-bit into build-win64/.
#
#   scripts/build-windows.sh [32|64|all] [extra cmake -D options...]
#
# Environment: QK_BUILD_ROOT (where the build folders go; default: the
# repository), QK_JOBS (parallel jobs; default 2), QK_BUILD_TYPE (default
# Release). Installs nothing: the MinGW-w64 compilers must be present
# (scripts/install-deps.sh --full).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${QK_BUILD_ROOT:-$root}
jobs=${QK_JOBS:-2}
build_type=${QK_BUILD_TYPE:-Release}

which_targets=${1:-all}
if (($# > 0)); then shift; fi
case "$which_targets" in
  32) bits=(32) ;;
  64) bits=(64) ;;
  all) bits=(32 64) ;;
  *) echo "usage: $0 [32|64|all] [cmake options...]" >&2; exit 2 ;;
esac

for b in "${bits[@]}"; do
  dir="$build_root/build-win$b"
  echo "== Windows $b-bit: $dir"
  # The win32/win64 presets of CMakePresets.json: the toolchain file and
  # warnings as errors.
  (cd "$root" && cmake --preset "win$b" -B "$dir" -DCMAKE_BUILD_TYPE="$build_type" "$@")
  cmake --build "$dir" -j"$jobs"
done
