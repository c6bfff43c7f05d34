#!/usr/bin/env bash
# hostlink-poll end to end against the built-in simulator: values, output
# formats and exit codes.
set -uo pipefail
poll=$1
fail=0
check() {  # check NAME EXPECTED-STATUS EXPECTED-OUTPUT-REGEX -- ARGS...
  local name=$1 want_status=$2 want=$3
  shift 4
  local out status
  out=$(timeout 30 "$poll" "$@" 2>/dev/null)
  status=$?
  if [ "$status" -ne "$want_status" ] || ! grep -Eq -- "$want" <<<"$out"; then
    echo "FAIL $name: status $status, output:"; echo "$out"; fail=1
  else
    echo "ok   $name"
  fi
}
mem=$(mktemp)
trap 'rm -f "$mem"' EXIT
cat >"$mem" <<'MEM'
00 DM 100 1234
00 DM 101 00F0
00 DM 200 5678
00 DM 201 1234
00 DM 204 4560
00 DM 205 3123
00 DM 300 4142
00 DM 301 4344
00 FLAG 7 1
MEM
check "word"        0 '^000100 = 4660 \(0x1234\)$'       -- --sim-load "$mem" 000100
check "bit"         0 '^00010104 = 1$'                    -- --sim-load "$mem" 00010104
check "long"        0 '^000200L = 305419896$'             -- --sim-load "$mem" 000200L
check "long BCD"    0 '^000200B = 12345678$'              -- --sim-load "$mem" 000200B
check "BCD float"   0 '^000204F = 123.456$'               -- --sim-load "$mem" 000204F
check "string"      0 "^000300S04 = 'ABCD'$"              -- --sim-load "$mem" 000300S04
check "flag"        0 '^00V0007 = 1$'                     -- --sim-load "$mem" 00V0007
check "status"      0 '^00SR = 512 \(0x0200\) RUN$'       -- 00SR
check "block"       0 '^000100 = 4660 \(0x1234\) 240 \(0x00F0\)$' -- --sim-load "$mem" -c 2 000100
check "csv"         0 '^[0-9:.]+,000100,0,4660$'          -- --sim-load "$mem" --csv 000100
check "json"        0 '^\{"time":"[0-9:.]+","values":\{"000100":4660,"000300S04":"ABCD"\}\}$' -- --sim-load "$mem" --json 000100 000300S04
check "polls"       0 '^000100 = 4660'                    -- --sim-load "$mem" -l -n 3 -i 10 000100
check "write float" 0 '^000210F written$'                 -- 000210F -w 2.5
check "write bit"   0 '^00010103 written$'                -- --sim-load "$mem" 00010103 -w 1
check "refused"     1 '^$'                                -- 00D8
check "bad value"   1 '^$'                                -- 000100 -w 70000
check "no answer"   2 '^500100 = \(no answer\)$'          -- -t 100 500100
check "no port"     2 '^$'                                -- -p NOSUCHPT 000100
check "usage"       105 '^$'                              -- --parity sideways 000100
exit $fail
