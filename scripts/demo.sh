#!/usr/bin/env bash
# A complete update of a virtual logger, from a fresh machine: installs what is
# needed, builds, starts nimbra-sim with the line paced at its real speed and one
# out-of-date logger, updates it with nimbra-update (main firmware, then the
# network module), and runs the update again to show that nothing more is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

echo "== building (release) =="
cmake --preset release >/dev/null
cmake --build --preset release --target nimbra-sim nimbra-update NimbraUpdateRes Skelmor -j "$(nproc)"
BIN=$PWD/build/release/bin

WORK=$(mktemp -d /tmp/nimbra-demo.XXXXXX)
SIM_PID=""
VIEWER_PID=""
cleanup() {
  if [ -n "$VIEWER_PID" ]; then kill -TERM "$VIEWER_PID" 2>/dev/null || true; wait "$VIEWER_PID" 2>/dev/null || true; fi
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

DATA=$WORK/data
export NIMBRA_VIRTUAL_BUS=$WORK/bus
mkdir -p "$DATA"

echo "== sample firmware: main 1.31, network module 2.01 =="
"$BIN/nimbra-sim" --write-samples "$DATA" >/dev/null
# UpDateMng.txt asks for the main and the network-module firmware; the web
# content stays as it is ("#W#:OFF").
ls -l "$DATA"

echo "== starting nimbra-sim: one logger at firmware 1.30 / network module 2.00, paced line =="
"$BIN/nimbra-sim" --bus "$NIMBRA_VIRTUAL_BUS" --paced --firm-ver 1.30 --net-ver 2.00 \
  --erase-ms 1500 --block-program-ms 15 --dollar-delay-ms 3000 --net-erase-ms 2000 --record-ms 5 \
  > "$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do
  grep -q '^READY' "$WORK/sim.out" 2>/dev/null && break
  kill -0 "$SIM_PID" 2>/dev/null || { cat "$WORK/sim.out"; exit 1; }
  sleep 0.1
done
grep -q '^READY' "$WORK/sim.out" || { echo "nimbra-sim did not start"; cat "$WORK/sim.out"; exit 1; }

# The log viewer: its presence beside the program (here: the data folder, which
# stands for it) switches the log channel on; it prints every record it receives.
export XDG_RUNTIME_DIR=$WORK
cp "$BIN/tools/Skelmor" "$DATA/Skelmor"
"$BIN/tools/Skelmor" > "$WORK/viewer.out" 2> "$WORK/viewer.err" &
VIEWER_PID=$!
for _ in $(seq 100); do [ -S "$WORK/Skelmor" ] && break; sleep 0.05; done

echo
echo "== nimbra-update --list =="
"$BIN/nimbra-update" --dir "$DATA" --lang en --list

echo
echo "== nimbra-update: first run =="
start=$(date +%s)
"$BIN/nimbra-update" --dir "$DATA" --lang en && rc=0 || rc=$?
echo "exit code $rc after $(( $(date +%s) - start )) s"
[ "$rc" -eq 0 ] || exit "$rc"

echo
echo "== nimbra-update --list (the logger restarted with the new firmware) =="
"$BIN/nimbra-update" --dir "$DATA" --lang en --list

echo
echo "== nimbra-update: second run =="
"$BIN/nimbra-update" --dir "$DATA" --lang en && rc=0 || rc=$?
echo "exit code $rc"

echo
echo "== the log viewer received (first and last records of $(wc -l < "$WORK/viewer.out")) =="
head -n 8 "$WORK/viewer.out"
echo "..."
tail -n 4 "$WORK/viewer.out"

echo
echo "== what the simulated line saw =="
kill -TERM "$SIM_PID"; wait "$SIM_PID" 2>/dev/null || true; SIM_PID=""
grep -v '^READY\|^LOGGER' "$WORK/sim.out" || true
exit "$rc"
