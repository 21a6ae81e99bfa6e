#!/usr/bin/env bash
# Tests ferrow where users install it, in clean Debian roots made with debootstrap:
#   test-dist.sh wheel    Debian 12 minbase root (Python, nothing else: no compiler, BLAS or
#                         SuiteSparse): pip installs dist/ferrow-*manylinux*.whl into a venv
#                         and runs the test suite against it
#   test-dist.sh source   Debian 13 root with libsuitesparse-dev, Python 3.13 and a compiler:
#                         isolated `pip install .` of a clone of HEAD, then the whole suite
#   test-dist.sh sdist    on this machine, without root: the sdist of a clone of HEAD, installed
#                         with pip's build isolation into a fresh venv, then an import and a solve
#   test-dist.sh all      all three (the default)
# The roots are kept in ${FERROW_CACHE:-~/.cache/ferrow}/roots and reused; each run starts from a
# fresh work folder inside them. Commands run through `chroot ROOT env -i ...`, so none of the
# host's pip or Python settings leak in. Needs root (debootstrap, chroot, mount).
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
CACHE="${FERROW_CACHE:-$HOME/.cache/ferrow}"
ROOTS="$CACHE/roots"
BASE_PACKAGES=python3,python3-venv,ca-certificates

log() { echo "[test-dist] $*" >&2; }
die() { echo "[test-dist] error: $*" >&2; exit 1; }

. "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"
mirror() { debian_mirror || die "no Debian archive URI found in the apt sources"; }

MOUNTED=()
TMPDIRS=()
cleanup() {
    local m
    for m in "${MOUNTED[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true; done
    for m in "${TMPDIRS[@]}"; do rm -rf "$m"; done
}
trap cleanup EXIT

# make_root NAME SUITE [EXTRA_PACKAGES]: create (or reuse) a root and prepare it for a run.
make_root() {
    [ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and mount)"
    local name=$1 suite=$2 extra=${3:-} dir="$ROOTS/$1"
    local want="$suite $BASE_PACKAGES${extra:+,$extra}"
    if [ "$(cat "$dir/.ferrow-root" 2>/dev/null)" != "$want" ]; then
        command -v debootstrap >/dev/null || {
            log "apt-get install debootstrap"
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2 \
                || { apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2; } \
                || die "could not install debootstrap"
        }
        rm -rf "$dir"; mkdir -p "$ROOTS"
        log "debootstrap $suite into $dir (packages: $BASE_PACKAGES${extra:+,$extra})"
        debootstrap --variant=minbase --include="$BASE_PACKAGES${extra:+,$extra}" \
            "$suite" "$dir" "$(mirror)" >"$ROOTS/$name.log" 2>&1 \
            || { tail -20 "$ROOTS/$name.log" >&2; die "debootstrap $suite failed (log: $ROOTS/$name.log)"; }
        echo "$want" > "$dir/.ferrow-root"
    else
        log "reusing $dir"
    fi
    # pip reaches the registry once the root trusts what the host trusts and resolves names
    cp /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
    if ! mountpoint -q "$dir/proc"; then
        mount -t proc proc "$dir/proc"
        MOUNTED+=("$dir/proc")
    fi
    rm -rf "$dir/root/ferrow-test"; mkdir -p "$dir/root/ferrow-test"
}

# in_root NAME COMMAND: run a bash command in the root with a clean environment.
in_root() {
    chroot "$ROOTS/$1" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}" \
        PIP_DISABLE_PIP_VERSION_CHECK=1 bash -euo pipefail -c "cd /root/ferrow-test; $2"
}

copy_tests() {  # the committed test suite, as a user of a clone would have it
    git -C "$REPO" archive HEAD tests README.md | tar -x -C "$ROOTS/$1/root/ferrow-test"
}

test_wheel() {
    local wheels=("$REPO"/dist/ferrow-*-manylinux*.whl)
    [ -f "${wheels[0]}" ] || die "no manylinux wheel in dist/ (run make wheel first)"
    [ ${#wheels[@]} -eq 1 ] || die "more than one manylinux wheel in dist/: ${wheels[*]}"
    local whl; whl=$(basename "${wheels[0]}")
    make_root bookworm-min bookworm
    cp "${wheels[0]}" "$ROOTS/bookworm-min/root/ferrow-test/"
    copy_tests bookworm-min
    log "Debian 12 minbase root: $whl"
    in_root bookworm-min "
        ! command -v cc && ! command -v gcc && ! command -v g++ || { echo 'a compiler is present'; exit 1; }
        ! ls /usr/lib/x86_64-linux-gnu | grep -E 'libspqr|libcholmod|libopenblas|libblas' || { echo 'SuiteSparse or a BLAS is present'; exit 1; }
        python3 --version
        python3 -m venv venv
        venv/bin/pip install -q '$whl[test,plot]'
        cd /root && ferrow-test/venv/bin/python -c 'import ferrow, sys; print(\"ferrow from\", ferrow.__path__[0])'
        cd /root/ferrow-test && venv/bin/python -m pytest -q -p no:cacheprovider tests"
}

test_source() {
    make_root trixie-src trixie libsuitesparse-dev,python3-dev,g++
    git clone -q "$REPO" "$ROOTS/trixie-src/root/ferrow-test/ferrow"
    log "Debian 13 root: isolated pip install of a clone of $(git -C "$REPO" rev-parse --short HEAD)"
    in_root trixie-src "
        [ ! -e /root/.cache/ferrow ] || { echo 'a private SuiteSparse is present in the root'; exit 1; }
        python3 --version
        dpkg-query -W libsuitesparse-dev
        python3 -m venv venv
        venv/bin/pip install -v ./ferrow 2>&1 | grep -E 'SuiteSparse|Successfully|error' || true
        venv/bin/python -c 'import ferrow' || { echo 'the isolated install failed'; exit 1; }
        echo 'libraries the installed extensions load:'
        ldd venv/lib/python3*/site-packages/ferrow/spqr*.so | grep -E 'spqr|cholmod|blas'
        venv/bin/pip install -q pytest hypothesis matplotlib
        cd ferrow && ../venv/bin/python -m pytest -q -p no:cacheprovider tests"
}

test_sdist() {
    local tmp prefix
    tmp=$(mktemp -d); TMPDIRS+=("$tmp")
    prefix=$(bash scripts/setup-suitesparse.sh | tail -n 1)
    git clone -q "$REPO" "$tmp/ferrow"
    log "sdist of a clone of $(git -C "$REPO" rev-parse --short HEAD), isolated pip install into a fresh venv"
    "$REPO/.venv/bin/python" -m build -q --sdist --no-isolation --outdir "$tmp/dist" "$tmp/ferrow" >&2
    "${PYTHON:-python3}" -m venv "$tmp/venv"
    "$tmp/venv/bin/python" -m pip install -q "$tmp"/dist/ferrow-*.tar.gz \
        -Ccmake.define.CMAKE_PREFIX_PATH="$prefix" >&2 || die "isolated pip install of the sdist failed"
    (cd "$tmp" && venv/bin/python -c '
import numpy as np, scipy.sparse as sp, ferrow
from ferrow.spqr import spqr_solve
A = sp.csc_array(np.array([[2.0, 1.0], [1.0, 3.0], [0.0, 1.0]]))
b = np.array([1.0, 2.0, 3.0])
x = spqr_solve(A, b)
assert np.allclose(x, np.linalg.lstsq(A.toarray(), b, rcond=None)[0]), x
print("ferrow", ferrow.__path__[0], "solve ok:", x)')
}

timed() { local t=$SECONDS; "$1"; log "$1 passed in $((SECONDS - t)) s"; }

case "${1:-all}" in
    wheel) timed test_wheel ;;
    source) timed test_source ;;
    sdist) timed test_sdist ;;
    all) timed test_sdist; timed test_wheel; timed test_source ;;
    *) die "usage: test-dist.sh [wheel|source|sdist|all]" ;;
esac
