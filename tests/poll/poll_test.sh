#!/usr/bin/env bash
# hostlink-poll end to end: values, output formats and exit codes against
# the built-in simulator; writes of every kind checked in the memory of a
# separate hostlink-sim; the frame tap on a port given with -p.
set -uo pipefail
poll=$1 sim=${2:-}
fail=0
work=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT

report() {  # report NAME OK? DETAILS
  if [ "$2" = 1 ]; then echo "ok   $1"; else echo "FAIL $1: $3"; fail=1; fi
}
check() {  # check NAME EXPECTED-STATUS EXPECTED-STDOUT-REGEX -- ARGS...
  local name=$1 want_status=$2 want=$3
  shift 4
  local out status
  out=$(timeout 30 "$poll" "$@" 2>"$work/stderr")
  status=$?
  if [ "$status" -eq "$want_status" ] && grep -Eq -- "$want" <<<"$out"; then
    report "$name" 1
  else
    report "$name" 0 "status $status, output: $out $(cat "$work/stderr")"
  fi
}

cat >"$work/mem" <<'MEM'
00 DM 100 1234
00 DM 101 00F0
00 DM 200 5678
00 DM 201 1234
00 DM 204 4560
00 DM 205 3123
00 DM 220 0000
00 DM 221 7FC0
00 DM 300 4142
00 DM 301 4344
00 DM 310 412C
00 DM 311 4222
00 DM 320 41E9
00 DM 321 0A42
00 FLAG 7 1
MEM
m=(--sim-load "$work/mem")

# --- Reads and output formats (built-in simulator).
check "word"          0 '^000100 = 4660 \(0x1234\)$'       -- "${m[@]}" 000100
check "bit"           0 '^00010104 = 1$'                    -- "${m[@]}" 00010104
check "long"          0 '^000200L = 305419896$'             -- "${m[@]}" 000200L
check "long BCD"      0 '^000200B = 12345678$'              -- "${m[@]}" 000200B
check "BCD float"     0 '^000204F = 123.456$'               -- "${m[@]}" 000204F
check "string"        0 "^000300S04 = 'ABCD'$"              -- "${m[@]}" 000300S04
check "flag"          0 '^00V0007 = 1$'                     -- "${m[@]}" 00V0007
check "status"        0 '^00SR = 512 \(0x0200\) RUN$'       -- 00SR
check "block"         0 '^000100 = 4660 \(0x1234\) 240 \(0x00F0\)$' -- "${m[@]}" -c 2 000100
check "csv"           0 '^[0-9T:.-]+,000100,0,4660$'          -- "${m[@]}" --csv 000100
check "csv quoting"   0 '^[0-9T:.-]+,000310S04,0,"A,B"""$'    -- "${m[@]}" --csv 000310S04
check "json"          0 '^\{"time":"[0-9T:.-]+","values":\{"000100":4660,"000300S04":"ABCD"\}\}$' -- "${m[@]}" --json 000100 000300S04
check "json escapes"  0 '"000320S04":"A\\u00e9\\u000aB"'   -- "${m[@]}" --json 000320S04
check "json NaN"      0 '"000220F":null'                    -- "${m[@]}" --ieee 0 --json 000220F
check "json failure"  2 '"500100":"failed"'                 -- --json -t 100 500100
check "polls"         0 '^000100 = 4660'                    -- "${m[@]}" -l -n 3 -i 10 000100
out=$(timeout 30 "$poll" "${m[@]}" -n 3 -i 10 000100 2>/dev/null | grep -c '^000100 = 4660')
report "-n polls that many times" "$([ "$out" = 3 ] && echo 1)" "$out lines"

# Ctrl-C and SIGTERM end the channel through EndKiv and the tool exits.
for sig in INT TERM; do
  : >"$work/live.out"
  timeout 30 "$poll" -v -l -i 20 000100 >"$work/live.out" 2>"$work/live.err" &
  pid=$!
  for _ in $(seq 200); do [ -s "$work/live.out" ] && break; sleep 0.02; done
  kill -"$sig" "$pid"
  wait "$pid"
  status=$?
  report "SIG$sig ends the channel" "$([ $status = 0 ] && grep -q 'DUVAD> EndKiv() exited, 0' "$work/live.err" && echo 1)" \
    "status $status: $(tail -n 3 "$work/live.err")"
done

# --- Exit codes.
check "refused address"  1 '^$'                         -- 00D8
out=$(timeout 30 "$poll" 00D8 2>&1 >/dev/null)
report "refusal shows the driver's message" "$(grep -q "DUVAD> Parse() Wrong high speed buff nr. , '00D8    '" <<<"$out" && echo 1)" "$out"
check "refused type"     1 '^$'                         -- -T float 000100
check "block status"     1 '^$'                         -- -c 2 00SR
check "value too big"    1 '^$'                         -- 000100 -w 70000
check "empty value"      1 '^$'                         -- 000100 -w ''
check "value count"      1 '^$'                         -- -c 3 000100 -w 1,2
check "string too long"  1 '^$'                         -- 000300S04 -w ABCDE
check "driver refuses"   1 '^000200B refused$'          -- 000200B -w 100000000
check "no answer"        2 '^500100 = \(failed\)$'   -- -t 100 500100
check "no such port"     2 '^$'                         -- -p NOSUCHPT 000100
check "bad parity"       105 '^$'                       -- --parity sideways 000100
check "bad baud rate"    105 '^$'                       -- -b 1234 000100
check "bad type name"    105 '^$'                       -- -T double 000100
check "csv with json"    108 '^$'                       -- --csv --json 000100
check "write two"        105 '^$'                       -- 000100 000101 -w 1
check "no address"       106 '^$'                       --

[ -n "$sim" ] || { echo "no hostlink-sim given: writes and the tap not checked"; exit $fail; }

# --- A separate simulator whose memory the test reads through its control
# interface: every write must land in the PLC's memory.
mkfifo "$work/control"
timeout 120 "$sim" -u 0 -u 5 <"$work/control" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
exec 3>"$work/control"
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/sim.out")
ctl() {  # ctl COMMAND...: prints the simulator's answer
  local before
  before=$(wc -l <"$work/sim.out")
  echo "$*" >&3
  for _ in $(seq 200); do [ "$(wc -l <"$work/sim.out")" -gt "$before" ] && break; sleep 0.02; done
  tail -n 1 "$work/sim.out"
}
[ -n "$port" ] || { echo "FAIL hostlink-sim did not start: $(cat "$work/sim.err")"; exit 1; }

ctl set 0 DM 101 00F0 >/dev/null
ctl set 0 DM 500 0000 0000 >/dev/null
check "read a value the simulator holds" 0 '^000500 = 0 \(0x0000\)$' -- -p "$port" 000500
ctl set 0 DM 500 BEEF >/dev/null
check "and after the simulator changed it" 0 '^000500 = 48879 \(0xBEEF\)$' -- -p "$port" 000500

# One row per write: options, address, value(s), control query, memory after.
# The unit starts in RUN mode: the first write must switch it to MONITOR.
while IFS='|' read -r name options address value query want; do
  # shellcheck disable=SC2086
  check "write $name" 0 "^$address written$" -- -p "$port" $options "$address" -w "$value"
  got=$(ctl $query)
  report "  memory after $name" "$([ "$got" = "$want" ] && echo 1)" "$query gave '$got', want '$want'"
done <<'ROWS'
bit set (RUN mode)||00010103|1|get 0 DM 101|00F8
bit clear||00010104|0|get 0 DM 101|00E8
word decimal, not octal||000102|010|get 0 DM 102|000A
word hex||000102|0xBEEF|get 0 DM 102|BEEF
negative word||000103|-2|get 0 DM 103|FFFE
BCD float||000210F|123.456|get 0 DM 210 2|4560 3123
IEEE float|--ieee 0|000212F|1|get 0 DM 212 2|0000 3F80
negative IEEE float|--ieee 0|000214F|-5|get 0 DM 214 2|0000 C0A0
long|-T long|000216L|-1|get 0 DM 216 2|FFFF FFFF
long BCD||000218B|12345678|get 0 DM 218 2|5678 1234
string with a comma||000300S04|A,B|get 0 DM 300 2|412C 4200
word block|-c 3|000400|1,2,0x10|get 0 DM 400 3|0001 0002 0010
float block|-c 2|000410F|1,10|get 0 DM 410 4|0000 1100 0000 2100
HR word||00H10|0x1234|get 0 HR 10|1234
completion flag||00V0012|1|flag 0 12|1
completion flag of unit 05||05V0013|1|flag 5 13|1
ROWS
mode=$(ctl mode 0)
report "the write switched RUN to MONITOR" "$(grep -qi monitor <<<"$mode" && echo 1)" "mode $mode"

# A refused BCD float writes nothing.
ctl set 0 DM 220 1111 2222 >/dev/null
check "BCD float out of range" 1 '^000220F refused$' -- -p "$port" 000220F -w -5
got=$(ctl get 0 DM 220 2)
report "  memory untouched" "$([ "$got" = "1111 2222" ] && echo 1)" "$got"

# --- The tap: the tool holds the port and shows the frames both ways.
ctl set 0 DM 100 1234 >/dev/null
out=$(timeout 30 "$poll" -p "$port" --trace 000100 2>"$work/trace")
report "read through the tap" "$([ "$out" = "000100 = 4660 (0x1234)" ] && echo 1)" "$out"
report "  command frame shown" "$(grep -Eq '^[0-9:.]+ host> @00RD0100000156\*<CR>$' "$work/trace" && echo 1)" "$(cat "$work/trace")"
report "  reply frame shown" "$(grep -Eq '^[0-9:.]+ <plc  @00RD00123452\*<CR>$' "$work/trace" && echo 1)" "$(cat "$work/trace")"
ctl set 0 DM 600 0000 >/dev/null
check "write through the tap" 0 '^000600 written$' -- -p "$port" --trace 000600 -w 0x55AA
got=$(ctl get 0 DM 600)
report "  memory after the tapped write" "$([ "$got" = "55AA" ] && echo 1)" "$got"

# A port another program holds: the driver refuses to share it, the tool
# says who is in the way.
if command -v flock >/dev/null; then
  exec 4<>"/dev/$port"
  flock -n 4
  timeout 30 "$poll" -p "$port" 000100 >/dev/null 2>"$work/stderr"
  status=$?
  report "a port held by another program" "$([ $status = 2 ] && grep -q 'held by another program' "$work/stderr" && echo 1)" \
    "status $status: $(cat "$work/stderr")"
  exec 4>&-
fi
out=$(timeout 30 "$poll" -p NOSUCHPT 000100 2>&1 >/dev/null)
report "a missing port says so" "$(grep -q '/dev/NOSUCHPT: No such file or directory' <<<"$out" && echo 1)" "$out"

# A silent line: the peer takes the command and never answers.
ctl fault no-reply count=-1 >/dev/null
check "silent line" 2 '^000100 = \(failed\)$' -- -p "$port" -t 100 000100
check "silent line, tapped" 2 '^000100 = \(failed\)$' -- -p "$port" --trace -t 100 000100
ctl clear-faults >/dev/null

echo quit >&3
exec 3>&-
wait "$sim_pid"
sim_pid=
exit $fail
