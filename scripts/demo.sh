#!/usr/bin/env bash
# The main job: builds kwtool and shows the library at work on its own
# defaults: a message encoded and decoded, a malformed buffer refused,
# settings written and read back, and the logger's console and trace file
# switched on through those settings.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build

# Optimised, with debug information: the call stacks below name their files and lines.
release=${KW_BUILD_ROOT:-build}/release
cmake -S . -B "$release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKW_BUILD_TESTS=OFF >/dev/null
cmake --build "$release" -j"$(nproc)" --target kwtool >/dev/null
kwtool=$(cd "$release" && pwd)/bin/kwtool

# A settings store of the demonstration's own, so no real settings change.
export KW_REGISTRY_DIR
KW_REGISTRY_DIR=$(mktemp -d)
scratch=$KW_REGISTRY_DIR
trap 'rm -rf "$scratch"' EXIT
# The per-user data folder, where the trace file goes, is the scratch one too.
export XDG_DATA_HOME=$scratch/data
cd "$scratch"

show() {
  echo "\$ kwtool $*"
  "$kwtool" "$@" 2>&1 || echo "(exit code $?)"
  echo
}

echo "== A system-state message: 42 bytes of wire format, as hex"
show encode MsgType=SYSTEM_STATE_CHANGE
hex=$("$kwtool" encode MsgType=SYSTEM_STATE_CHANGE)

echo "== ... and decoded back"
echo "\$ echo $hex | kwtool decode"
echo "$hex" | "$kwtool" decode
echo

echo "== Typed attributes, written raw to a file and read back"
show encode --out msg.bin MsgType=2 SystemState=Busy Retries:int=3 \
  Build:str=0042 Token:hex=deadbeef
echo "$(stat -c %s msg.bin) bytes in msg.bin"
show decode msg.bin

echo "== A malformed buffer: version 2, which no reader knows"
echo "\$ echo 0200000007000000 | kwtool decode"
echo 0200000007000000 | "$kwtool" decode 2>&1 || echo "(exit code $?)"
echo
echo "== A length field that disagrees with the buffer"
echo "\$ echo 0100000009000000 | kwtool decode"
echo 0100000009000000 | "$kwtool" decode 2>&1 || echo "(exit code $?)"
echo

echo "== Settings under HKEY_LOCAL_MACHINE\\Software\\Kestrelwright"
show reg set Greeting=Hello Count:int=0x10
show reg get Greeting Count
show reg delete Greeting Count
show reg get Greeting

echo "== A usage error"
show encode NoEqualsSign

echo "== The logger: console trace and trace file switched on for kwtool"
show reg set kwtoolConsoleTrace=1 kwtoolFileLogging=1
echo "-- each command now traces its steps to the console ..."
show encode MsgType=UPDATE Item=report.docx
echo "-- ... and a malformed buffer traces its exception with the call stack it was built with,"
echo "   each frame's source file (line) and function:"
echo "\$ echo 0100000009000000 | kwtool decode"
echo 0100000009000000 | "$kwtool" decode 2>&1 || echo "(exit code $?)"
echo
trace=$XDG_DATA_HOME/Kestrelwright/KWkwtool.log
echo "-- ... and appends them to $trace, UTF-16 text:"
echo "\$ file KWkwtool.log: $(stat -c %s "$trace") bytes, starting $(head -c 8 "$trace" | od -An -tx1)"
show log "$trace"

echo "== Two processes: kwtool listen reads a channel, kwtool send writes to it"
echo "\$ kwtool listen --count 3 Demo &    # the reader, in the background"
"$kwtool" listen --count 3 --seconds 60 Demo >listen.out 2>&1 &
listener=$!
show send Demo MsgType=UPDATE Item=report.docx + MsgType=SYSTEM_STATE_CHANGE SystemState=Busy \
  + MsgType=ACKNOWLEDGEMENT Sequence:int=3
wait "$listener" || echo "(listener exit code $?)"
echo "-- what the listener printed, its own trace lines among the messages:"
cat listen.out
echo
echo "-- the trace file now holds both processes' events:"
"$kwtool" log "$trace" | tail -n 8
