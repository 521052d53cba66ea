#!/usr/bin/env bash
# Runs the Windows builds under Wine: every registered test program of
# build-win32/ and build-win64/ (ctest, with Wine as the cross-compiling
# emulator), then the 32-bit driver with no token attached, which must list
# nothing and end with the library's "no device list" code.
#
#   scripts/test-windows.sh [32|64|all]
#
# With QK_SIM_TOOL naming a native qktoken-sim, the 32-bit driver also runs
# against a simulated token served on this host over loopback TCP and must
# print "Result: 13", and each qktool.exe must behave as the native qktool
# (QK_QKTOOL, default: beside qktoken-sim in the same build) does.
#
# Environment: QK_BUILD_ROOT (as for build-windows.sh), WINEPREFIX (default: a
# fresh temporary prefix, removed at the end), QK_SIM_TOOL. Installs nothing:
# Wine (with its 32-bit part) must be present.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${QK_BUILD_ROOT:-$root}
case "${1:-all}" in
  32) bits=(32) ;;
  64) bits=(64) ;;
  all) bits=(32 64) ;;
  *) echo "usage: $0 [32|64|all]" >&2; exit 2 ;;
esac

if [[ -n "${QK_SIM_TOOL:-}" ]]; then
  QK_SIM_TOOL=$(cd "$(dirname "$QK_SIM_TOOL")" && pwd)/$(basename "$QK_SIM_TOOL")
fi
command -v wine >/dev/null || { echo "wine is not installed" >&2; exit 2; }
export WINEDEBUG=-all
own_prefix=""
if [[ -z "${WINEPREFIX:-}" ]]; then
  own_prefix=$(mktemp -d /tmp/qk-wine.XXXXXX)
  export WINEPREFIX=$own_prefix
fi
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [[ -n "$own_prefix" ]]; then rm -rf "$own_prefix"; fi
}
trap cleanup EXIT
# No virtual tokens: the driver check below wants an empty listing.
unset QKTOKEN_VIRTUAL_DIR

echo "== Preparing the Wine prefix $WINEPREFIX (the first start takes a while)"
timeout 300 wineboot -i >/dev/null 2>&1
wineserver -w
# One server for the whole run: each program then starts in a fraction of a
# second instead of several. The first program starts Wine's background
# services, which inherit its output; start them here with /dev/null, or
# ctest would wait on the first test's output until its time-out.
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1

failed=0
for b in "${bits[@]}"; do
  dir="$build_root/build-win$b"
  if [[ ! -f "$dir/CTestTestfile.cmake" ]]; then
    echo "missing $dir: run scripts/build-windows.sh $b first" >&2
    failed=1
    continue
  fi
  echo "== Windows $b-bit tests under Wine"
  ctest --test-dir "$dir" --output-on-failure --timeout 300 || failed=1
done

driver="$build_root/build-win32/driver/qktoken-driver.exe"
if [[ " ${bits[*]} " == *" 32 "* ]]; then
  echo "== 32-bit driver under Wine, no token attached"
  if [[ ! -f "$driver" ]]; then
    echo "missing $driver" >&2
    failed=1
  else
    set +e
    output=$(wine "$driver" 2>&1)
    status=$?
    set -e
    # The driver exits with the whole 32-bit code; the host sees its low byte.
    expected=$((0xF0000005 & 0xFF))
    printf '%s\n' "$output"
    if [[ $status -ne $expected || "$output" == *Result:* ]]; then
      echo "driver: exit status $status, expected $expected with nothing printed" >&2
      failed=1
    else
      echo "driver: exit status $status (no token), as expected"
    fi
  fi
fi

if [[ -n "${QK_SIM_TOOL:-}" && -f "$driver" ]]; then
  echo "== 32-bit driver under Wine, simulated token over loopback TCP"
  set +e
  output=$(timeout 120 "$QK_SIM_TOOL" run --tcp -- wine "$driver" 2>&1)
  status=$?
  set -e
  printf '%s\n' "$output"
  if [[ $status -ne 0 || "$output" != *"Result: 13"* ]]; then
    echo "driver with a simulated token: exit status $status, expected 0 and Result: 13" >&2
    failed=1
  fi

  # Drivers started together, half naming the token's directory DIR and half
  # DIR\. : one token has one lock however it is reached, so each runs its
  # transaction in turn and prints its result.
  echo "== 32-bit drivers started together, the token's directory spelled two ways"
  set +e
  output=$(timeout 180 "$QK_SIM_TOOL" run --tcp -- sh -c '
    d=$QKTOKEN_VIRTUAL_DIR
    pids=
    for i in 1 2 3; do
      QKTOKEN_VIRTUAL_DIR=$d wine "$0" & pids="$pids $!"
      QKTOKEN_VIRTUAL_DIR=$d/. wine "$0" & pids="$pids $!"
    done
    s=0; for p in $pids; do wait "$p" || s=1; done; exit $s' "$driver" 2>&1)
  status=$?
  set -e
  results=$(grep -c '^Result: 13' <<<"$output" || true)
  echo "$results of 6 drivers printed Result: 13"
  if [[ $status -ne 0 || $results -ne 6 ]]; then
    printf '%s\n' "$output"
    echo "drivers started together: exit status $status, $results of 6 results" >&2
    failed=1
  fi
fi

# The SDK zip of each build, as a user gets it: every promised file is in
# it, a C program builds against it through the import library for
# Microsoft's linker (with the DLL) and against the static library, and both
# run. Neither program may need a MinGW runtime DLL.
for b in "${bits[@]}"; do
  dir="$build_root/build-win$b"
  echo "== $b-bit SDK zip"
  zip=$(find "$dir" -maxdepth 1 -name "qktoken-sdk-*-win$b.zip" -print -quit 2>/dev/null)
  if [[ -z "$zip" ]]; then
    echo "no SDK zip in $dir" >&2
    failed=1
    continue
  fi
  if ! (
    set -e
    triplet=$([[ $b == 32 ]] && echo i686-w64-mingw32 || echo x86_64-w64-mingw32)
    cc=$(command -v "$triplet-gcc-posix" || command -v "$triplet-gcc")
    work=$(mktemp -d "$dir/sdk-check.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && cmake -E tar xf "$zip")
    sdk=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qktoken-sdk-*' -print -quit)
    for f in include/qktoken.h include/qkrsa.h bin/qktoken.dll bin/qktool.exe \
      bin/qktoken-driver.exe lib/libqktoken.dll.a lib/libqktoken.a lib/qktoken.def \
      lib/qktoken.lib README.txt; do
      [[ -s "$sdk/$f" ]] || { echo "the zip lacks $f" >&2; exit 1; }
    done
    "$cc" -DQKTOKEN_DLL -I"$sdk/include" "$root/tests/install/main.c" "$sdk/lib/qktoken.lib" \
      -o "$work/shared.exe"
    cp "$sdk/bin/qktoken.dll" "$work/"
    "$cc" -static -I"$sdk/include" "$root/tests/install/main.c" "$sdk/lib/libqktoken.a" \
      -lstdc++ -lpthread -lsetupapi -lhid -lws2_32 -o "$work/static.exe"
    imports() { "$triplet-objdump" -p "$1" | sed -n 's/.*DLL Name: //p' | tr '[:upper:]' '[:lower:]'; }
    for program in shared static; do
      deps=$(imports "$work/$program.exe")
      if grep -Eq 'libgcc|libstdc|libwinpthread' <<<"$deps"; then
        echo "$program.exe needs a MinGW runtime DLL: $deps" >&2
        exit 1
      fi
      linked=static
      if [[ $deps == *qktoken.dll* ]]; then linked=shared; fi
      if [[ $linked != "$program" ]]; then
        echo "$program.exe: imports $deps" >&2
        exit 1
      fi
      out=$(cd "$work" && wine "$work/$program.exe" 2>&1)
      [[ "$out" == "installed library works"* ]] || { echo "$program.exe: $out" >&2; exit 1; }
      echo "$program consumer: $out"
    done
  ); then
    echo "$b-bit SDK zip check failed" >&2
    failed=1
  fi
done

# qktool.exe against a simulated token: its transcript of user-visible
# behaviour (exit statuses, output, JSON, messages, binary input and output,
# PINs from standard input and the environment) must match the native
# qktool's byte for byte, the token's directory and serial aside.
if [[ -n "${QK_SIM_TOOL:-}" ]]; then
  native_qktool=${QK_QKTOOL:-$(dirname "$QK_SIM_TOOL")/../qktool/qktool}
  normalise() { sed -E 's/(serial[": ]+)[0-9A-F]{16}/\1SERIAL/'; }
  transcript() {
    (cd "$root" && timeout 300 "$QK_SIM_TOOL" run --tcp -- tests/tools/qktool_cases.sh "$@") 2>&1 |
      normalise
  }
  expected=""
  if [[ -x "$native_qktool" ]]; then
    expected=$(transcript "$native_qktool")
  else
    echo "no native qktool at $native_qktool: Windows transcripts checked alone" >&2
  fi
  for b in "${bits[@]}"; do
    tool="$build_root/build-win$b/tools/qktool/qktool.exe"
    echo "== $b-bit qktool.exe under Wine, simulated token over loopback TCP"
    if [[ ! -f "$tool" ]]; then
      echo "missing $tool" >&2
      failed=1
      continue
    fi
    got=$(transcript wine "$tool")
    cases=$(grep -c '^==' <<<"$got" || true)
    # Markers first, so that two equally broken builds never compare equal.
    missing=""
    for marker in '"command":"list","tokens":[{"index":0' 'user PIN verified' \
      '"tries_left":14' 'exec --stdin --raw:  01 0d 0a 1a 00 ff 0a' 'give --pin-stdin'; do
      [[ "$got" == *"$marker"* ]] || missing+=" [$marker]"
    done
    if [[ -n "$missing" ]]; then
      printf '%s\n' "$got"
      echo "qktool.exe ($b-bit): missing$missing" >&2
      failed=1
    elif [[ -n "$expected" && "$got" != "$expected" ]]; then
      diff <(printf '%s\n' "$expected") <(printf '%s\n' "$got") || true
      echo "qktool.exe ($b-bit) differs from the native qktool (< native, > Windows)" >&2
      failed=1
    else
      echo "qktool.exe ($b-bit): $cases cases${expected:+, same as the native qktool}"
    fi
  done
fi

exit $failed
