#!/usr/bin/env bash
# make bench: builds the direct-call driver with the project's CMake and runs the
# benchmarks (benchmarks/bench.py), which write benchmarks/RESULTS.md and ratios.png.
# Extra arguments go to bench.py (for example --cases tiny lap2d_mid --no-peers).
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=.venv
BUILD=build/bench
CMAKE=$([ -x "$VENV/bin/cmake" ] && echo "$VENV/bin/cmake" || command -v cmake)

prefix=$(bash scripts/setup-suitesparse.sh | tail -n 1)
[ -n "$prefix" ] || { echo "[bench] SuiteSparse set-up failed" >&2; exit 1; }
echo "[bench] building the driver (SuiteSparse in $prefix)" >&2
"$CMAKE" -S . -B "$BUILD" -DFERROW_BENCHMARKS=ON -DCMAKE_PREFIX_PATH="$prefix" \
    -DPython_EXECUTABLE="$PWD/$VENV/bin/python" >"$BUILD.configure.log" 2>&1 \
    || { cat "$BUILD.configure.log" >&2; exit 1; }
"$CMAKE" --build "$BUILD" --target ferrow_bench_driver -j 2 >&2
exec "$VENV/bin/python" benchmarks/bench.py --driver "$BUILD/benchmarks/ferrow_bench_driver" \
    --data "$BUILD/data" "$@"
