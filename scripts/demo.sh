#!/usr/bin/env bash
# Builds the test driver and the token simulator (Release, into build/) and
# runs the driver against a simulated token. Expected last line: "Result: 13".
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQK_BUILD_TESTS=OFF
cmake --build build -j2 --target qktoken-driver qktoken-sim

echo "--- qktoken-sim run -- qktoken-driver"
build/tools/sim/qktoken-sim run -- build/driver/qktoken-driver
