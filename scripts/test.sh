#!/usr/bin/env bash
# Runs every test: a warnings-as-errors debug build, the same tests under the
# address and undefined-behaviour sanitizers, and the threaded parts under the
# thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

JOBS=${JOBS:-$(nproc)}
export QT_QPA_PLATFORM=offscreen

run() {  # preset, ctest label filter (optional)
  local preset=$1 label=${2:-}
  cmake --preset "$preset" -DNIMBRA_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  local args=(--test-dir "build/$preset" --output-on-failure -j "$JOBS" --timeout 600)
  [ -n "$label" ] && args+=(-L "$label")
  ctest "${args[@]}"
}

run debug
run asan
run tsan tsan
