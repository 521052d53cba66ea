#!/bin/busybox sh
# The kernel stage's guest: PID 1 of a small initramfs booted under qemu.
# Loads the HID modules, then runs the library's programs against simulated
# tokens served through /dev/uhid, with no virtual token directory. Every
# case prints "[kernel] PASS NAME" or "[kernel] FAIL NAME: WHY"; the host
# counts them. The last line is "[kernel] DONE".
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=
unset QKTOKEN_VIRTUAL_DIR
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp && mount -t tmpfs tmpfs /tmp && chmod 1777 /tmp

pass() { echo "[kernel] PASS $1"; }
fail() { echo "[kernel] FAIL $1: $2"; }
# Seconds since boot, for the log.
clock() { echo "[kernel]   at $(cut -d' ' -f1 /proc/uptime) s: $1"; }

# hid-generic binds the device; without it no hidraw node appears.
for m in hid hid-generic uhid; do
  insmod "/lib/modules/$m.ko" || fail "load $m.ko" "insmod failed"
done
[ -c /dev/uhid ] || fail "/dev/uhid" "missing after loading uhid.ko"

# The hidraw nodes whose HID_ID is the token's.
token_nodes() {
  for d in /sys/class/hidraw/hidraw*; do
    [ -e "$d/device/uevent" ] || continue
    grep -q '^HID_ID=....:00007A5C:00000B21$' "$d/device/uevent" && echo "/dev/${d##*/}"
  done
}

# Starts `qktoken-sim uhid [--tokens N]` in the background and waits (at
# most 5 s) until it serves N tokens at hidraw nodes; sets $sim_pid.
start_sim() {
  want=${2:-1}
  log=/tmp/sim.log
  qktoken-sim uhid "$@" >"$log" 2>&1 &
  sim_pid=$!
  n=0
  while [ $n -lt 100 ]; do
    [ "$(grep -c 'serving .* at /dev/hidraw' "$log")" -ge "$want" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
    n=$((n + 1))
  done
  cat "$log"
  return 1
}

stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid"
}

clock "modules loaded"
# 1. The unmodified test driver.
if start_sim; then
  out=$(timeout 120 qktoken-driver 2>&1)
  if echo "$out" | grep -qx 'Result: 13'; then
    pass "qktoken-driver prints Result: 13"
  else
    echo "$out" | tail -20
    fail "qktoken-driver prints Result: 13" "last line: $(echo "$out" | tail -1)"
  fi
  # The udev rule's pattern names the kernel's HID device of the token.
  pattern=$(sed -n 's/.*KERNELS=="\([^"]*\)".*/\1/p' /etc/70-qktoken.rules)
  node=$(token_nodes | head -1)
  device=$(basename "$(readlink "/sys/class/hidraw/${node##*/}/device")")
  case "$device" in
    $pattern) pass "the udev rule's KERNELS pattern matches the token ($device)" ;;
    *) fail "the udev rule's KERNELS pattern matches the token" "'$pattern' vs '$device'" ;;
  esac
  # SIGTERM removes the device.
  stop_sim
  status=$?
  if [ $status -eq 0 ] && [ -z "$(token_nodes)" ]; then
    pass "qktoken-sim uhid removes its device on SIGTERM"
  else
    fail "qktoken-sim uhid removes its device on SIGTERM" "exit $status, nodes: $(token_nodes)"
  fi
else
  fail "qktoken-sim uhid serves a token" "no hidraw node"
fi

# 2. qktool lists and describes two tokens.
if start_sim --tokens 2; then
  timeout 60 qktool list >/tmp/info.log 2>&1
  status=$?
  listed=$(grep -c '7a5c:0b21' /tmp/info.log)
  timeout 60 qktool --token 1 info >>/tmp/info.log 2>&1
  info_status=$?
  nodes=$(token_nodes | wc -l)
  if [ $status -eq 0 ] && [ $info_status -eq 0 ] && [ "$nodes" -eq 2 ] && [ "$listed" -eq 2 ]; then
    pass "qktool lists two tokens and describes one"
  else
    cat /tmp/info.log
    fail "qktool lists two tokens and describes one" \
      "list exit $status, info exit $info_status, $listed listed, $nodes token nodes"
  fi
  stop_sim
else
  fail "qktoken-sim uhid --tokens 2 serves two tokens" "no hidraw nodes"
fi

# 3. Writing to /dev/uhid is refused to an ordinary user, with a clear message.
msg=$(su -s /bin/sh tester -c 'qktoken-sim uhid' 2>&1)
if echo "$msg" | grep -q '/dev/uhid' && echo "$msg" | grep -qi 'root'; then
  pass "qktoken-sim uhid explains what it needs without access to /dev/uhid"
else
  fail "qktoken-sim uhid explains what it needs without access to /dev/uhid" "said: $msg"
fi

clock "starting the integration program"
# 4. The hidraw integration program (its own cases).
timeout 180 qktoken-kernel-test
[ $? -lt 100 ] || fail "qktoken-kernel-test" "did not finish"

clock "starting several drivers"
# 5. Several drivers at once on one token.
drivers=3
if start_sim; then
  pids=
  i=0
  while [ $i -lt $drivers ]; do
    QKTOKEN_DEBUG=/tmp/driver.$i.debug timeout 30 qktoken-driver >/tmp/driver.$i.log 2>&1 &
    pids="$pids $!"
    echo "[kernel]   driver $i: pid $!"
    i=$((i + 1))
  done
  for p in $pids; do wait "$p"; echo "[kernel]   driver $p: exit $?"; done
  clock "drivers done"
  good=0
  i=0
  while [ $i -lt $drivers ]; do
    if grep -qx 'Result: 13' /tmp/driver.$i.log; then
      good=$((good + 1))
    else
      echo "[kernel]   driver $i said:"
      tail -5 /tmp/driver.$i.log
      echo "[kernel]   its debug log's listing and opening:"
      grep -E 'list|open|lock' /tmp/driver.$i.debug | head -20
    fi
    i=$((i + 1))
  done
  stop_sim
  if [ $good -eq $drivers ]; then
    pass "$drivers drivers at once on one token all print Result: 13"
  else
    fail "$drivers drivers at once on one token all print Result: 13" "$good of $drivers did"
  fi
else
  fail "$drivers drivers at once on one token" "no device"
fi

# 6. qktool watch while qktoken-sim uhid starts and stops.
timeout 30 qktool watch --json --count 2 >/tmp/watch.log 2>&1 &
watch_pid=$!
sleep 1
if start_sim; then
  sleep 0.5
  stop_sim
  wait "$watch_pid"
  status=$?
  if [ $status -eq 0 ] && grep -q '"event":"arrived","path":"/dev/hidraw' /tmp/watch.log &&
     grep -q '"event":"removed","path":"/dev/hidraw' /tmp/watch.log; then
    pass "qktool watch --json prints the uhid token's arrival and removal"
  else
    cat /tmp/watch.log
    fail "qktool watch --json prints the uhid token's arrival and removal" "exit $status"
  fi
else
  kill "$watch_pid" 2>/dev/null
  fail "qktool watch --json" "no device"
fi

# 7. The debug log of a driver run: listing, lock and exchanges, and no PIN.
if start_sim; then
  QKTOKEN_DEBUG=/tmp/debug.log timeout 120 qktoken-driver >/dev/null 2>&1
  missing=
  for part in 'list: /dev/hidraw' 'open: /dev/hidraw' 'lock: ' 'exchange: instruction'; do
    grep -q "$part" /tmp/debug.log || missing="$missing '$part'"
  done
  leaked=
  for secret in 60719283 904817263590481726359048 3630373139323833; do
    grep -q "$secret" /tmp/debug.log && leaked="$leaked $secret"
  done
  if [ -z "$missing$leaked" ]; then
    pass "a driver run's debug log shows listing, lock and exchanges, and no PIN"
  else
    fail "a driver run's debug log" "missing:$missing leaked:$leaked"
  fi
  echo "[kernel]   debug log: $(wc -l </tmp/debug.log) lines"
  stop_sim
else
  fail "a driver run's debug log" "no device"
fi

clock "done"
echo "[kernel] DONE"
poweroff -f
