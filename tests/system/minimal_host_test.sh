#!/usr/bin/env bash
# Builds nothing: runs the minimal C host example against hostlink-sim.
set -euo pipefail
host=$1 library=$2 sim=$3
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
mkfifo "$work/in"
timeout 60 "$sim" --mode monitor <"$work/in" >"$work/out" 2>&1 &
pid=$!
exec 3>"$work/in"
for _ in $(seq 100); do [ -s "$work/out" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/out")
echo "set 0 DM 1000 1234" >&3
for _ in $(seq 100); do grep -q '^ok' "$work/out" && break; sleep 0.05; done
out=$(timeout 20 "$host" "$library" "$port" 001000)
echo "$out"
[ "$out" = "001000 = 4660 (0x1234)" ]
