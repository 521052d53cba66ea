#!/bin/bash
# Measures whether a token's owner gets in while its link is flooded:
# serves a simulated token, starts FLOODERS (default 1) copies of
# link-flood.py against it (over TCP as uid 65534 when run as root, else as
# this user), and runs `qktool info` 20 times as the owner.
#   scripts/link-flood-measure.sh BUILD_DIR unix|tcp
set -u
build=$1 kind=$2 here=$(cd "$(dirname "$0")" && pwd)
ulimit -n 8192
dir=$(mktemp -d /tmp/qkflood-XXXXXX)
chmod 700 "$dir"
"$build/tools/sim/qktoken-sim" serve --dir "$dir" $([ "$kind" = tcp ] && echo --tcp) >/dev/null 2>&1 &
sleep 0.5
for _ in $(seq "${FLOODERS:-1}"); do
  if [ "$kind" = tcp ]; then
    port=$(awk '/^port/{print $2}' "$dir/token0.tcp")
    as=()
    [ "$(id -u)" = 0 ] && as=(setpriv --reuid 65534 --regid 65534 --clear-groups)
    "${as[@]}" /usr/bin/python3 "$here/link-flood.py" tcp "$port" 1000 &
  else
    /usr/bin/python3 "$here/link-flood.py" unix "$dir/token0.sock" 1000 &
  fi
done
sleep 2
ok=0
for _ in $(seq 20); do
  QKTOKEN_VIRTUAL_DIR=$dir timeout 20 "$build/tools/qktool/qktool" info >/dev/null && ok=$((ok + 1))
done
echo "$kind: $ok of 20 qktool info runs succeeded"
kill $(jobs -p) 2>/dev/null
wait 2>/dev/null
rm -rf "$dir"
