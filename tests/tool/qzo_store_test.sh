#!/bin/bash
# The object store as a user meets it: `qzo demo` walks a clip of the sample driver through a
# project (its second process a real one), `qzo object`, `qzo chunks` and `qzo project` read
# what it left, and the example host does the same walk through the plain API.
# Usage: qzo_store_test.sh <qzo> <example host>
QZO=$1
HOST=$2
source "$(dirname "$0")/../support/qzo_script.sh"

P=$T/project
expect_run 0 "Compact the history" out -- demo --keep "$P" --steps 3
for text in "project ID " "class CSampleClip registered" "slot  ModifyCnt  bytes  comment" \
    "* 0     1          48     Create" "restored the clip: version 4, frames 60, markers 3" \
    "* 1     2          52     Add shot 1" "* 3     4          60     Trim end" \
    "* 0     4          60     Trim end" "The project stays in $P/"; do
    grep -qF -- "$text" "$T/out" || fail "qzo demo: no '$text' in its output"
done

# The second process is another process than the demo.
"$QZO" demo --json --steps 2 >"$T/json" 2>"$T/err" || fail "qzo demo --json: $(cat "$T/err")"
first=$(sed -n 's/.*"event":"start","pid":\([0-9]*\).*/\1/p' "$T/json")
second=$(sed -n 's/.*"event":"second-process","pid":\([0-9]*\).*/\1/p' "$T/json")
[ -n "$first" ] && [ -n "$second" ] && [ "$first" != "$second" ] ||
    fail "qzo demo --json: pids '$first' and '$second'"
grep -qF '"event":"purge"' "$T/json" || fail "qzo demo --json: no purge event"

# What the demo left: the object file, its chunks and the project.
OBJECT=$(ls "$P"/OBJ/*/00000400.QZO)
expect_run 0 "class 1      3437008D CQZObject  flags 81" out -- object "$OBJECT"
for text in "history      current slot 0" "  *0    4          10240       10300" "\"Trim end\"" \
    "@10260      SampleClip" "Markers" "writer       none (no access record)"; do
    grep -qF -- "$text" "$T/out" || fail "qzo object: no '$text' in its output"
done
expect_run 0 "@10240    CQZObject" out -- chunks "$OBJECT" --offset 10240
expect_run 0 "Frames" out -- chunks "$OBJECT" --offset 10240
expect_run 0 "1 in 1 class folders (0 marked deleted), 1 class-name files" out -- project "$P"

# Damage is reported with the file's name and what is wrong.
head -c 9000 "$OBJECT" >"$T/short.qzo"
expect_run 1 "data end 10300 lies outside [10240, 9000]" err -- object "$T/short.qzo"
head -c 10270 "$OBJECT" >"$T/cut.qzo"
expect_run 1 "bad chunk header at offset 10260: size 32 runs past the end" err -- chunks "$T/cut.qzo" --offset 10240
expect_run 2 "usage: qzo object" err -- object
expect_run 0 "usage: qzo chunks" out -- chunks --help
expect_run 2 "usage: qzo demo" err -- demo --steps 1

# The example host: the same walk through the plain API.
"$HOST" "$T/host" >"$T/out" 2>"$T/err" || fail "example host: exit $? ($(cat "$T/err"))"
for text in "created: 0 frames" "second process reads: 325 frames, 3 markers" \
    "undo two steps: 25 frames" "history compacted: 285 frames" "* version 5  Compact"; do
    grep -qF -- "$text" "$T/out" || fail "example host: no '$text' in its output"
done

finish
