#!/usr/bin/env bash
# qktool's behaviour as a user sees it, for comparing two builds: runs each
# case with the qktool command given ("$@", e.g. `wine qktool.exe`) against
# the first token of QKTOKEN_VIRTUAL_DIR (a fresh simulated token) and prints,
# per case, the exit status, standard output and standard error. The token's
# directory is written DIR/ however the system joined the path, so that the
# transcripts of two systems compare equal byte for byte. Run from the
# repository's root (the cases name sim/programs/echo.qasm).
#
#   qktoken-sim run --tcp -- tests/tools/qktool_cases.sh build/tools/qktool/qktool
set -uo pipefail
dir=${QKTOKEN_VIRTUAL_DIR:?run under qktoken-sim run}
tool=("$@")
user=60719283
dev=904817263590481726359048
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Bytes a text-mode stream would change: CR LF, Ctrl+Z, NUL, 0xFF.
printf '\001\r\n\032\000\377\n' >"$scratch/binary.in"

# one INPUT-FILE ENV-ASSIGNMENT ARGS...: one case (ENV "" for none).
one() {
  local input=$1 env=$2
  shift 2
  local out err status
  out=$(env ${env:+"$env"} "${tool[@]}" "$@" <"$input" 2>"$scratch/err")
  status=$?
  err=$(<"$scratch/err")
  local text="== $* [$env]"$'\n'"status $status"$'\n'"out: $out"$'\n'"err: $err"
  text=${text//"$dir\\\\"/DIR/}
  text=${text//"$dir\\"/DIR/}
  text=${text//"$dir/"/DIR/}
  printf '%s\n' "$text"
}
line() { printf '%s' "$1" >"$scratch/line"; echo "$scratch/line"; }

one /dev/null "" list
one /dev/null "" list --json
one /dev/null "" info
one /dev/null "" info --json
one "$(line "$user"$'\n')" "" pin verify --pin-stdin
# A console or a Windows editor ends lines with CR LF: the CR is no PIN character.
one "$(line $'11111111\r\n')" "" pin verify --pin-stdin --json
one "$(line $'22222222\n')" "" pin verify --pin-stdin --native
one /dev/null "QKTOOL_USER_PIN=$user" pin verify
one /dev/null "" pin verify
one /dev/null "QKTOOL_DEV_PIN=$dev" load sim/programs/echo.qasm 0050
# Binary input and output pass unchanged (shown as hex).
binary=$(env QKTOOL_USER_PIN=$user "${tool[@]}" exec 0050 --stdin --raw <"$scratch/binary.in" | od -An -tx1)
echo "== exec --stdin --raw: $binary"
one /dev/null "QKTOOL_USER_PIN=$user" exec 0050 --hex 00ff0d0a --json
one /dev/null "" --token 5 info --json
one /dev/null "" frobnicate
