#!/usr/bin/env bash
# Builds everything and runs every test: the native suite with warnings as
# errors, the suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
# the concurrency tests under ThreadSanitizer, each fuzz target for a bounded
# time, the Windows builds with their tests under Wine, the demo, and the
# library against a booted Linux kernel's hidraw driver in qemu, and the
# Windows builds under Wine in such a kernel on real hidraw nodes.
#
#   scripts/test.sh            everything (installs missing Debian packages first)
#   QK_STAGES="native asan" scripts/test.sh    a subset
#
# The native, asan, tsan, fuzz and Windows builds are the presets of
# CMakePresets.json (cmake --preset NAME configures the same folder by hand).
# QK_DEPS_INSTALLED=1 says the packages are already in place (.ci/run installs
# them before it calls this script).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
stages=${QK_STAGES:-"native asan tsan fuzz windows demo kernel kernel-windows python"}
jobs=${QK_JOBS:-2}
fuzz_seconds=${QK_FUZZ_SECONDS:-20}

if [[ "${QK_DEPS_INSTALLED:-}" != 1 ]]; then
  "$root/scripts/install-deps.sh" --full
fi

passed=0
failed=0
declare -a summary

# Runs the test preset $1 (whose build folder is $2) and adds its counts,
# read from ctest's JUnit report, to the totals. A run that failed without a
# failing test (no report, no tests found) counts as one failure.
run_ctest() {
  local preset=$1 dir=$2 rc=0
  local report="$root/$dir/ctest-junit.xml"
  rm -f "$report"
  ctest --preset "$preset" -j"$jobs" --output-junit "$report" || rc=$?
  local total bad
  total=$(junit_count tests "$report")
  bad=$(junit_count failures "$report")
  if [[ -n "$total" && -n "$bad" ]]; then
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  if ((rc != 0)) && [[ -z "$bad" || "$bad" == 0 ]]; then
    failed=$((failed + 1))
  fi
  return $rc
}

# junit_count ATTRIBUTE FILE: the attribute of the report's <testsuite> element.
junit_count() {
  [[ -f "$2" ]] || return 0
  tr '\n' ' ' <"$2" | sed -nE 's/^.*<testsuite[^>]*[[:space:]]'"$1"'="([0-9]+)".*$/\1/p'
}

# Configures and builds the preset $1.
build_preset() {
  cmake --preset "$1" || return
  cmake --build --preset "$1" -j"$jobs"
}

stage() {
  local name=$1; shift
  echo "=== stage: $name"
  local start=$SECONDS rc=0 status
  stage_note=""  # a stage may set it, e.g. "skipped: REASON"
  "$@" || rc=$?
  status=$([[ $rc == 0 ]] && echo ok || echo FAILED)
  summary+=("$name: ${stage_note:-$status} ($((SECONDS - start)) s)")
  return $rc
}

# (Each step ends its stage on failure: `set -e` does not reach into a
# function called from an `||` list.)
native() {
  build_preset native || return
  run_ctest native build-ci || return
  # The installed package from a prefix of its own: a C program against the
  # shared and the static library, through find_package and pkg-config.
  "$root/tests/install/run.sh" build-ci
}

asan() {
  build_preset asan || return
  run_ctest asan build-asan
}

tsan() {
  build_preset tsan || return
  run_ctest tsan build-tsan
}

fuzz() {
  build_preset fuzz || return
  "$root/fuzz/run-all.sh" build-fuzz "$fuzz_seconds"
}

windows() {
  "$root/scripts/build-windows.sh" || return
  # A native simulated token lets the 32-bit driver run end to end under Wine.
  local sim
  for sim in "$root/build-ci/tools/sim/qktoken-sim" "$root/build/tools/sim/qktoken-sim"; do
    if [[ -x "$sim" ]]; then
      QK_SIM_TOOL=$sim "$root/scripts/test-windows.sh"
      return
    fi
  done
  "$root/scripts/test-windows.sh"
}

demo() {
  local log
  log=$(mktemp)
  "$root/scripts/demo.sh" | tee "$log" || { rm -f "$log"; return 1; }
  grep -qx 'Result: 13' "$log"
  local rc=$?
  rm -f "$log"
  return $rc
}

# The library on a booted kernel: Debian's generic kernel in qemu runs this
# build's programs against simulated tokens served through /dev/uhid
# (tests/kernel/run.sh). Reuses build-ci when the native stage made it.
kernel() {
  cmake --preset native >/dev/null || return
  cmake --build build-ci -j"$jobs" --target qktoken-sim qktoken-driver qktool \
    qktoken-kernel-test || return
  guest_stage "$root/tests/kernel/run.sh" build-ci
}

# Runs a guest stage's script (tests/kernel/run*.sh) with its arguments and
# adds its "N passed, N failed" to the totals; exit status 77 is a skip, noted
# in the summary with its reason.
guest_stage() {
  local log rc=0 line skipped
  log=$(mktemp)
  "$@" 2>&1 | tee "$log" || rc=$?
  line=$(grep -E '^(skipped: |[0-9]+ passed, [0-9]+ failed$)' "$log" | tail -1 || true)
  skipped=$(grep -E '^[0-9]+ cases skipped: ' "$log" | tail -1 || true)
  rm -f "$log"
  if [[ $rc == 77 ]]; then
    stage_note=$line
    return 0
  fi
  if [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2]))
  else
    failed=$((failed + 1))
  fi
  if [[ -n $skipped && $rc == 0 ]]; then stage_note="ok, $skipped"; fi
  return $rc
}

# The Windows builds on a real HID device: the host's Wine in a booted Debian
# kernel runs the 32- and 64-bit drivers, qktool.exe and the Windows
# integration program against tokens served as hidraw nodes
# (tests/kernel/run-windows.sh). Reuses build-ci and the Windows stage's
# build-win32/ and build-win64/ when they exist.
kernel_windows() {
  cmake --preset native >/dev/null || return
  cmake --build build-ci -j"$jobs" --target qktoken-sim || return
  local b
  for b in 32 64; do
    cmake --preset win$b >/dev/null || return
    cmake --build build-win$b -j"$jobs" --target qktoken-driver qktoken-windows-test qktool ||
      return
  done
  guest_stage "$root/tests/kernel/run-windows.sh" build-ci build-win32 build-win64
}

# The Python package's tests (README: python3 -m pytest python/tests) against
# simulated tokens. The library and the simulator come from build-ci when the
# native stage configured it, else from a build of their own.
python() {
  local build=build-ci
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    build=build-python
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_BUILD_TESTS=OFF || return
  fi
  cmake --build "$build" -j"$jobs" --target qktoken qktoken-sim || return
  # Debian's interpreter, which has python3-pytest, or the one QK_PYTHON names.
  local interpreter=${QK_PYTHON:-python3}
  if [[ -z "${QK_PYTHON:-}" && -x /usr/bin/python3 ]]; then interpreter=/usr/bin/python3; fi
  local log="$build/pytest.log" rc=0
  QKTOKEN_LIBRARY="$root/$build/libqktoken.so" QK_SIM_TOOL="$root/$build/tools/sim/qktoken-sim" \
    "$interpreter" -m pytest -p no:cacheprovider -ra "$root/python/tests" 2>&1 | tee "$log" || rc=$?
  # pytest's last line: "== 140 passed, 1 skipped in 9.12s ==".
  local line n
  line=$(grep -E '^=+ .*[0-9]+ (passed|failed|errors?).* in [0-9.]+s' "$log" | tail -1 || true)
  for n in $(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '^[0-9]+'); do
    passed=$((passed + n))
  done
  for n in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$line" | grep -oE '^[0-9]+'); do
    failed=$((failed + n))
  done
  if [[ -z "$line" && $rc != 0 ]]; then failed=$((failed + 1)); fi
  return $rc
}

overall=0
for s in $stages; do
  stage "$s" "${s//-/_}" || overall=1
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "tests: $passed passed, $failed failed"
exit $overall
