#!/usr/bin/env bash
# Builds the test driver and the token simulator (Release, into build-demo/) and
# runs the driver against a simulated token. Expected last line: "Result: 13".
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
# A build directory of its own, so that build/ stays the full build with tests.
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DQK_BUILD_TESTS=OFF
cmake --build build-demo -j2 --target qktoken-driver qktoken-sim

echo "--- qktoken-sim run -- qktoken-driver"
build-demo/tools/sim/qktoken-sim run -- build-demo/driver/qktoken-driver
