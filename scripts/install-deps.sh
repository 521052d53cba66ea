#!/usr/bin/env bash
# Installs what the build needs from Debian's packages.
#   install-deps.sh          compilers, CMake, GoogleTest (enough for the demo and the native tests)
#   install-deps.sh --full   also OpenSSL/GMP (test oracles), Google Benchmark, clang with
#                            libFuzzer and sanitizer runtimes, MinGW-w64 and Wine
set -euo pipefail

base=(cmake g++ make libgtest-dev libgmock-dev libssl-dev libgmp-dev)
full=(libbenchmark-dev clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
      wine wine32:i386 wine64)
full+=(python3-pytest python3-pip)  # the Python package's tests and its offline install

want=("${base[@]}")
if [[ "${1:-}" == "--full" ]]; then
  want+=("${full[@]}")
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386'; then
  $sudo dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
