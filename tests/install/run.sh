#!/usr/bin/env bash
# Installs the build in $1 under a prefix of its own and builds and runs the C
# consumer four ways: shared and static library, each through find_package and
# through pkg-config. The static pkg-config build uses a copy of the prefix
# without the shared library, as a static-only package would look; it also
# shows that the installed files do not depend on where the tree lies.
#
#   tests/install/run.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
work="$build/install-test"
prefix="$work/prefix"
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name qktoken.pc -print -quit)")/..

check() {  # NAME PROGRAM [static]
  local out
  out=$("$2")
  [[ "$out" == "installed library works"* ]] || { echo "$1: printed '$out'"; return 1; }
  if [[ "${3:-}" == static ]] && ldd "$2" 2>/dev/null | grep -q libqktoken; then
    echo "$1: linked the shared library"
    return 1
  fi
  echo "$1: ok"
}

for kind in shared static; do
  flag=OFF; [[ $kind == static ]] && flag=ON
  cmake -S "$here" -B "$work/cmake-$kind" -DCMAKE_PREFIX_PATH="$prefix" -DQK_STATIC=$flag >/dev/null
  cmake --build "$work/cmake-$kind" >/dev/null
  LD_LIBRARY_PATH="$libdir" check "find_package $kind" "$work/cmake-$kind/consumer" "$kind"
done

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -o "$work/pc-shared" "$here/main.c" $(pkg-config --cflags --libs qktoken)
LD_LIBRARY_PATH="$libdir" check "pkg-config shared" "$work/pc-shared"

cp -a "$prefix" "$work/static-prefix"
find "$work/static-prefix" -name 'libqktoken.so*' -delete
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$work/static-prefix" -name qktoken.pc -print -quit)")
# shellcheck disable=SC2046
cc -o "$work/pc-static" "$here/main.c" $(pkg-config --static --cflags --libs qktoken)
check "pkg-config static" "$work/pc-static" static
