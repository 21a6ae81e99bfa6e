#!/usr/bin/env bash
# Sets up everything the project needs on a fresh Debian/Ubuntu machine, idempotently.
#   bootstrap.sh deps    system packages, the virtual environment .venv and its Python packages
#   bootstrap.sh build   SuiteSparse (scripts/setup-suitesparse.sh) and the extension modules
#   bootstrap.sh docs    the documentation tools (requirements-docs.txt) into .venv, and
#                        Debian's chromium for the rendered-page test when it can be installed
# Environment: PYTHON (interpreter for the venv, default python3), FERROW_SANITIZE=1 for an
# AddressSanitizer/UBSan build, FERROW_BUILD_DIR to override the CMake build directory,
# FERROW_TARGET to install into a separate site directory instead of the venv.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
VENV="$ROOT/.venv"
PYTHON=${PYTHON:-python3}

log() { echo "[setup] $*" >&2; }
die() { echo "[setup] error: $*" >&2; exit 1; }
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
apt_updated=""
apt_install() {
    command -v apt-get >/dev/null || die "missing system packages ($*) and no apt-get to install them"
    if [ -z "$apt_updated" ]; then log "apt-get update"; $SUDO apt-get update -qq >&2; apt_updated=1; fi
    log "apt-get install $*"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >&2 \
        || die "apt-get install $* failed"
}

deps() {
    local need=()
    command -v "$PYTHON" >/dev/null || need+=(python3)
    command -v g++ >/dev/null || need+=(g++)
    command -v make >/dev/null || need+=(make)
    [ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"
    "$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 11))' \
        || die "Python 3.11 or newer is needed ($PYTHON is $("$PYTHON" --version 2>&1))"
    if ! "$PYTHON" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
        apt_install python3-dev
    fi
    if [ ! -x "$VENV/bin/python" ]; then
        if ! "$PYTHON" -m venv "$VENV" >/dev/null 2>&1; then
            rm -rf "$VENV"
            apt_install python3-venv
            "$PYTHON" -m venv "$VENV" || die "could not create the virtual environment $VENV"
        fi
        log "created $VENV"
    fi
    local want have
    want=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
    have=$(cat "$VENV/.ferrow-deps" 2>/dev/null || true)
    if [ "$want" != "$have" ]; then
        log "installing Python packages into $VENV"
        "$VENV/bin/python" -m pip install -q --upgrade pip >&2
        "$VENV/bin/python" -m pip install -q -r requirements-dev.txt >&2 || die "pip install failed"
        echo "$want" > "$VENV/.ferrow-deps"
    else
        log "Python packages are current"
    fi
}

docs() {
    [ -x "$VENV/bin/python" ] || deps
    local want have
    want=$(cat requirements-dev.txt requirements-docs.txt | sha256sum | cut -d' ' -f1)
    have=$(cat "$VENV/.ferrow-docs-deps" 2>/dev/null || true)
    if [ "$want" != "$have" ]; then
        log "installing the documentation tools into $VENV"
        "$VENV/bin/python" -m pip install -q -r requirements-docs.txt >&2 || die "pip install failed"
        echo "$want" > "$VENV/.ferrow-docs-deps"
    fi
    # The rendered-page test needs a browser; without one it is skipped, not failed.
    if ! command -v chromium >/dev/null && ! command -v chromium-browser >/dev/null; then
        ( apt_install chromium ) || log "chromium could not be installed: the rendered-page test will be skipped"
    fi
}

build() {
    [ -x "$VENV/bin/python" ] || deps
    local prefix
    prefix=$(bash scripts/setup-suitesparse.sh | tail -n 1)
    [ -n "$prefix" ] || die "SuiteSparse set-up failed"
    local builddir=${FERROW_BUILD_DIR:-build/release}
    local args=(-Ccmake.define.CMAKE_PREFIX_PATH="$prefix" -Cbuild-dir="$builddir")
    if [ "${FERROW_SANITIZE:-0}" = 1 ]; then
        args+=(-Ccmake.define.FERROW_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo)
    fi
    local where="$VENV"
    if [ -n "${FERROW_TARGET:-}" ]; then  # a separate site directory (the sanitizer build)
        args+=(--target "$FERROW_TARGET" --upgrade)
        where=$FERROW_TARGET
    fi
    log "building the extension modules (SuiteSparse in $prefix)"
    "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps "${args[@]}" . >&2 \
        || die "building ferrow failed"
    log "ferrow installed into $where"
}

case "${1:-all}" in
    deps) deps ;;
    build) build ;;
    docs) docs ;;
    all) deps; build ;;
    *) die "usage: bootstrap.sh [deps|build|docs|all]" ;;
esac
