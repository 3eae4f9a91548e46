#!/usr/bin/env bash
# The main job: builds kwtool and shows the library at work on its own
# defaults: a message encoded and decoded, a malformed buffer refused, and
# settings written and read back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKW_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target kwtool >/dev/null
kwtool=$PWD/build/release/bin/kwtool

# A settings store of the demonstration's own, so no real settings change.
export KW_REGISTRY_DIR
KW_REGISTRY_DIR=$(mktemp -d)
scratch=$KW_REGISTRY_DIR
trap 'rm -rf "$scratch"' EXIT
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
show reg set kwtoolConsoleTrace=1 kwtoolFileLogging=1 Greeting=Hello
show reg get kwtoolConsoleTrace kwtoolFileLogging Greeting
show reg delete Greeting
show reg get Greeting

echo "== A usage error"
show encode NoEqualsSign
