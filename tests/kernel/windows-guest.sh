#!/bin/bash
# The kernel-windows stage's cases, run by windows-init.sh as root in a
# chroot of the host's root inside the guest (see run-windows.sh). Serves
# simulated tokens as hidraw nodes, starts Wine as an ordinary user and runs
# the Windows builds against them with no virtual token directory. Every case
# prints "[kernel-windows] PASS NAME" or "[kernel-windows] FAIL NAME: WHY".
#
# With no udevd here, Wine's HID bus follows /dev with inotify instead
# (the prefix sets DisableUdevd): devices come and go while Wine runs.
set -u -o pipefail
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
unset QKTOKEN_VIRTUAL_DIR
# QK_REPO, QK_PREFIX, QK_SIM, QK_WIN32, QK_WIN64, QK_WINE_UID: from windows-init.sh.

pass() { echo "[kernel-windows] PASS $1"; }
fail() { echo "[kernel-windows] FAIL $1: $2"; }
clock() { echo "[kernel-windows]   at $(cut -d' ' -f1 /proc/uptime) s: $1"; }

home=/tmp/wine-home
mkdir -p "$home" && chown "$QK_WINE_UID:$QK_WINE_UID" "$home"
# A program as the Wine user, in its Wine prefix.
as_user() {
  setpriv --reuid="$QK_WINE_UID" --regid="$QK_WINE_UID" --clear-groups \
    env HOME="$home" USER=tester LOGNAME=tester WINEPREFIX="$QK_PREFIX" WINEDEBUG=-all "$@"
}
win() { as_user timeout "${timeout:-60}" wine "$@"; }

# The hidraw nodes whose HID_ID is VENDOR:PRODUCT (8 hexadecimal digits each).
nodes_of() {
  local d
  for d in /sys/class/hidraw/hidraw*; do
    [[ -e $d/device/uevent ]] || continue
    grep -q "^HID_ID=....:$1:$2\$" "$d/device/uevent" && echo "/dev/${d##*/}"
  done
}
token_nodes() { nodes_of 00007A5C 00000B21; }

# serve NAME [OPTIONS]: `qktoken-sim uhid OPTIONS` in the background until it
# serves its device (at most 5 s); its pid in sims[NAME].
declare -A sims
serve() {
  local name=$1 log=/tmp/sim-$1.log n
  shift
  "$QK_SIM" uhid "$@" >"$log" 2>&1 &
  sims[$name]=$!
  for ((n = 0; n < 100; n++)); do
    grep -q 'serving .* at /dev/hidraw' "$log" && return 0
    kill -0 "${sims[$name]}" 2>/dev/null || break
    sleep 0.05
  done
  cat "$log"
  fail "qktoken-sim uhid $* serves a device" "no hidraw node"
  return 1
}
stop_sims() {
  local name
  for name in "${!sims[@]}"; do kill -TERM "${sims[$name]}" 2>/dev/null; done
  for name in "${!sims[@]}"; do wait "${sims[$name]}" 2>/dev/null; done
  sims=()
}

# wait_listing WANT: waits (at most 60 s) until the 32-bit test program's
# listing line says WANT ("RESULT TOKENS OTHERS", see its --list); leaves
# what it last said in $listing.
wait_listing() {
  local start=$SECONDS
  listing=$(timeout=90 win "$QK_WIN32/tests/kernel/qktoken-windows-test.exe" --list "$1" 60 2>&1 |
            tr -d '\r')
  clock "after $((SECONDS - start)) s the listing says '$listing'"
}
stop_wine() { as_user wineserver -k 2>/dev/null; as_user wineserver -w 2>/dev/null; }

# Sourced with --functions (a script of one's own, QK_KERNEL_WINDOWS_SCRIPT):
# only the helpers above.
[[ ${1:-} == --functions ]] && return 0

clock "chroot entered"

# ---- 1. No token: beside two devices of another identity, one of which the
# Wine user may not open (Wine's bus then never presents it).
start=$SECONDS
as_user wineserver -p
timeout=120 win cmd /c exit </dev/null >/dev/null 2>&1
clock "Wine started in $((SECONDS - start)) s"
serve visible --vendor 1234 --product 5678 || true
serve hidden --vendor 1234 --product 5679 || true
for node in $(nodes_of 00001234 00005678); do chmod 0666 "$node"; done
wait_listing "00000000 0 1"
said64=$(timeout=60 win "$QK_WIN64/tests/kernel/qktoken-windows-test.exe" --list 2>&1 | tr -d '\r')
for said in "32-bit:$listing" "64-bit:$said64"; do
  name="no token beside other devices, one the user may not open: none listed, no error"
  if [[ ${said#*:} == "00000000 0 1" ]]; then
    pass "$name (${said%%:*})"
  else
    fail "$name (${said%%:*})" "the listing said '${said#*:}', not '00000000 0 1'"
  fi
done
clock "phase 1 done"

# ---- 2. Two tokens, one numbering its reports, plugged in while Wine runs.
serve plain || true
serve numbered --report-id 1 || true
for node in $(token_nodes); do chmod 0666 "$node"; done  # as the udev rule leaves them
wait_listing "00000000 2 1"
for b in 32 64; do
  dir=QK_WIN$b
  out=$(timeout=180 win "${!dir}/tests/kernel/qktoken-windows-test.exe" 2>&1 | tr -d '\r')
  status=$?
  echo "$out"
  # Its five cases each report, whatever becomes of the program.
  reported=$(grep -c '^\[kernel-windows\] \(PASS\|FAIL\|SKIP\) ' <<<"$out")
  ((reported == 5)) || fail "qktoken-windows-test.exe runs every case ($b-bit)" \
    "$reported of 5 cases reported, exit status $status"
done
# qktool.exe over the real device: the listing from the 32-bit build, the
# description of the second token from the 64-bit one.
for step in "32 list" "64 --token 1 info"; do
  b=${step%% *}
  dir=QK_WIN$b
  qktool=${!dir}/tools/qktool/qktool.exe
  [[ -f $qktool ]] || continue
  # shellcheck disable=SC2086 # the step's words are qktool's arguments
  out=$(timeout=60 win "$qktool" ${step#* } 2>&1 | tr -d '\r')
  status=$?
  listed=$(grep -c '7a5c:0b21' <<<"$out")
  case $step in
    *list) good=$((status == 0 && listed == 2)) ;;
    *) good=$((status == 0)) ;;
  esac
  if ((good)); then
    pass "qktool.exe ${step#* } ($b-bit)"
  else
    tail -20 <<<"$out"
    fail "qktool.exe ${step#* } ($b-bit)" "exit $status, $listed tokens listed"
  fi
done

# The unmodified drivers, three at once (32-, 64- and 32-bit) on one token:
# the named lock and the session generation between processes on a real
# device. Each must print "Result: 13".
clock "starting three drivers at once"
bits=(32 64 32)
pids=()
for i in 0 1 2; do
  dir=QK_WIN${bits[i]}
  timeout=120 win "${!dir}/driver/qktoken-driver.exe" >"/tmp/driver.$i.log" 2>&1 &
  pids+=($!)
done
said=()
for i in 0 1 2; do
  wait "${pids[i]}"
  said[i]="exit $?, last line '$(tr -d '\r' <"/tmp/driver.$i.log" | tail -1)'"
  tr -d '\r' <"/tmp/driver.$i.log" | grep -qx 'Result: 13' && said[i]=ok
done
for b in 32 64; do
  name="qktoken-driver.exe prints Result: 13, three drivers at once on one token ($b-bit)"
  why=""
  for i in 0 1 2; do
    [[ ${bits[i]} == "$b" && ${said[i]} != ok ]] && why+="driver $i: ${said[i]}; "
  done
  if [[ -z $why ]]; then pass "$name"; else fail "$name" "$why"; fi
done
clock "drivers done"

# unplug BITS NAME REPORT_ID: the token sims[NAME] stops answering (stopped),
# then goes (killed) while that build of the test program waits for its
# answer.
unplug() {
  local dir=QK_WIN$1 log=/tmp/unplug.log tester n
  rm -f /tmp/unplug-go
  timeout=60 win "${!dir}/tests/kernel/qktoken-windows-test.exe" --unplug 'Z:\tmp\unplug-go' "$3" \
    >"$log" 2>&1 &
  tester=$!
  for ((n = 0; n < 600; n++)); do
    grep -q ready "$log" && break
    kill -0 "$tester" 2>/dev/null || break
    sleep 0.1
  done
  kill -STOP "${sims[$2]}"
  touch /tmp/unplug-go
  sleep 1
  kill -KILL "${sims[$2]}"
  wait "${sims[$2]}" 2>/dev/null
  unset "sims[$2]"
  wait "$tester"
  tr -d '\r' <"$log" | grep -v '^ready$'
  grep -q '^\[kernel-windows\] \(PASS\|FAIL\)' "$log" ||
    fail "token $2 removed during an exchange ($1-bit)" "the test did not finish"
}
unplug 32 plain 0
unplug 64 numbered 1
clock "unplug done"

# The removed tokens are gone from the listing. (Wine did not take a token
# served again at the node of a removed one: not tried here.)
wait_listing "00000000 0 1"
if [[ $listing == "00000000 0 1" ]]; then
  pass "the removed tokens are no longer listed"
else
  fail "the removed tokens are no longer listed" "the listing said '$listing'"
fi

stop_wine
stop_sims
clock "done"
