#!/usr/bin/env bash
# Serial over the network: the simulator's pty served by ser2net on a
# loopback TCP port, socat making a pty connected to it, and the driver
# (through hostlink-poll) opening socat's pty. Then the TCP connection is
# dropped: a device loss, ended with exit status 2, no hang.
set -euo pipefail
poll=$1 sim=$2
for tool in ser2net socat; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

mkfifo "$work/in"
timeout 120 "$sim" --mode monitor <"$work/in" >"$work/sim.out" 2>&1 &
pids+=($!)
exec 3>"$work/in"
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
sim_port=$(head -n 1 "$work/sim.out")
echo "set 0 DM 42 BEEF" >&3

tcp=$((20000 + $$ % 20000))
cat >"$work/ser2net.yaml" <<YAML
connection: &hostlink
  accepter: tcp,127.0.0.1,$tcp
  connector: serialdev,/dev/$sim_port,9600e72,local
  options:
    kickolduser: true
YAML
timeout 120 ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" &
pids+=($!)
for _ in $(seq 100); do (exec 9<>/dev/tcp/127.0.0.1/$tcp) 2>/dev/null && break; sleep 0.05; done

link=/tmp/hn$(printf %04d $(($$ % 10000)))
timeout 120 socat pty,raw,echo=0,link="$link" tcp:127.0.0.1:$tcp &
socat_pid=$!
pids+=($socat_pid)
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done

echo "== read through ser2net and socat"
out=$(timeout 20 "$poll" -p "$link" -t 500 000042)
echo "$out"
[ "$out" = "000042 = 48879 (0xBEEF)" ]
echo "== write through them"
timeout 20 "$poll" -p "$link" -t 500 000043 -w 0x1234
echo "get 0 DM 43" >&3
sleep 0.3
grep -q '^1234$' "$work/sim.out"

echo "== the TCP connection drops while the driver polls"
( sleep 1; kill "$socat_pid" ) &
start=$(date +%s)
set +e
timeout 30 "$poll" -p "$link" -t 500 -l -n 30 -i 100 000042 >/dev/null 2>&1
status=$?
set -e
elapsed=$(( $(date +%s) - start ))
echo "exit status $status after ${elapsed}s"
[ "$status" -eq 2 ]
[ "$elapsed" -lt 15 ]
echo "network: ok"
