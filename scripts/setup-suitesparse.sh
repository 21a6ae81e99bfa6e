#!/usr/bin/env bash
# Makes SuiteSparse 7.4+ available and prints its install prefix on the last line of stdout.
#
# Order of preference:
#   1. FERROW_SUITESPARSE_PREFIX, if set and it holds a usable install;
#   2. the distribution's libsuitesparse-dev when its version is 7.4 or newer (prefix /usr);
#   3. a private build from Debian's source package, cached under
#      ${FERROW_CACHE:-$HOME/.cache/ferrow}/suitesparse-$VERSION and reused when present.
# No system apt configuration file is changed: the source download uses a private apt setup.
set -euo pipefail

VERSION=7.10.1
TARBALL="suitesparse_${VERSION}+dfsg.orig.tar.xz"
CACHE="${FERROW_CACHE:-$HOME/.cache/ferrow}"
PREFIX="$CACHE/suitesparse-$VERSION"
PROJECTS="suitesparse_config;amd;camd;colamd;ccolamd;btf;cholmod;spqr"

log() { echo "[suitesparse] $*" >&2; }
die() { echo "[suitesparse] error: $*" >&2; exit 1; }

have_install() {  # $1 = prefix; true when the CMake packages of every component are there
    local p=$1 c
    for c in CAMD COLAMD CCOLAMD BTF CHOLMOD SPQR SuiteSparse_config; do
        compgen -G "$p/lib*/cmake/$c/${c}Config.cmake" >/dev/null \
            || compgen -G "$p/lib/*/cmake/$c/${c}Config.cmake" >/dev/null || return 1
    done
}

if [ -n "${FERROW_SUITESPARSE_PREFIX:-}" ]; then
    have_install "$FERROW_SUITESPARSE_PREFIX" || die "FERROW_SUITESPARSE_PREFIX=$FERROW_SUITESPARSE_PREFIX holds no SuiteSparse CMake packages"
    log "using FERROW_SUITESPARSE_PREFIX=$FERROW_SUITESPARSE_PREFIX"
    echo "$FERROW_SUITESPARSE_PREFIX"; exit 0
fi

if have_install "$PREFIX" && [ -f "$PREFIX/.ferrow-complete" ]; then
    log "reusing $PREFIX"
    echo "$PREFIX"; exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

apt_updated=""
apt_install() {
    if [ -z "$apt_updated" ]; then
        log "apt-get update"
        $SUDO apt-get update -qq >&2 || die "apt-get update failed"
        apt_updated=1
    fi
    log "apt-get install $*"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >&2 \
        || die "apt-get install $* failed"
}

# 2. the distribution's package, when recent enough
cand=$(apt-cache policy libsuitesparse-dev 2>/dev/null | awk '/Candidate:/ {print $2}')
if [ -z "$cand" ] || [ "$cand" = "(none)" ]; then
    $SUDO apt-get update -qq >&2 || true; apt_updated=1
    cand=$(apt-cache policy libsuitesparse-dev 2>/dev/null | awk '/Candidate:/ {print $2}')
fi
upstream=${cand#*:}; upstream=${upstream%%[+~-]*}
if [ -n "$upstream" ] && [ "$upstream" != "(none)" ] && dpkg --compare-versions "$upstream" ge 7.4; then
    if ! have_install /usr; then
        apt_install libsuitesparse-dev libopenblas-dev
    fi
    have_install /usr || die "libsuitesparse-dev $cand is installed but its CMake packages were not found"
    log "using the distribution's SuiteSparse $cand"
    echo /usr; exit 0
fi
log "the distribution offers SuiteSparse ${cand:-none}; building $VERSION from Debian's source package"

# 3. a private build
need=()
for pkg in libopenblas-dev cmake ninja-build xz-utils ca-certificates g++ make; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"
command -v cmake >/dev/null || die "cmake not found"

SRC="$CACHE/src"
mkdir -p "$SRC"
APTDIR="$CACHE/apt"
if [ ! -f "$SRC/$TARBALL" ]; then
    . "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"
    mirror=$(debian_mirror) || die "no Debian archive URI found in the apt sources"
    log "archive: $mirror"
    mkdir -p "$APTDIR/lists/partial" "$APTDIR/cache/archives/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" > "$APTDIR/sources.list"
    APTOPTS=(-o Dir::Etc::SourceList="$APTDIR/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::State::Lists="$APTDIR/lists" -o Dir::Cache="$APTDIR/cache"
             -o APT::Sandbox::User=root)
    log "fetching the trixie source index"
    apt-get "${APTOPTS[@]}" update -qq >&2 || die "could not read the trixie source index"
    want=$(apt-cache "${APTOPTS[@]}" showsrc suitesparse 2>/dev/null \
        | awk -v t="$TARBALL" '/^Checksums-Sha256:/ {s=1; next} /^[^ ]/ {s=0} s && $3==t {print $1; exit}')
    [ -n "$want" ] || die "the signed index lists no SHA-256 for $TARBALL"
    log "downloading $TARBALL"
    tmp=$(mktemp -d "$SRC/dl.XXXXXX")
    ( cd "$tmp" && apt-get "${APTOPTS[@]}" source --download-only -qq suitesparse >&2 ) || true
    [ -f "$tmp/$TARBALL" ] || die "download of $TARBALL failed"
    got=$(sha256sum "$tmp/$TARBALL" | awk '{print $1}')
    [ "$got" = "$want" ] || die "checksum mismatch for $TARBALL: got $got, want $want"
    log "checksum verified ($want)"
    mv "$tmp/$TARBALL" "$SRC/$TARBALL"
    rm -rf "$tmp"
fi

BUILD="$CACHE/build-$VERSION"
rm -rf "$BUILD"; mkdir -p "$BUILD"
log "unpacking"
tar -xJf "$SRC/$TARBALL" -C "$BUILD"
top=$(find "$BUILD" -mindepth 1 -maxdepth 1 -type d | head -1)
log "configuring (projects: $PROJECTS)"
cmake -S "$top" -B "$BUILD/out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
    -DSUITESPARSE_ENABLE_PROJECTS="$PROJECTS" \
    -DSUITESPARSE_USE_CUDA=OFF -DBUILD_STATIC_LIBS=OFF -DSUITESPARSE_DEMOS=OFF \
    -DBUILD_TESTING=OFF -DBLA_VENDOR=OpenBLAS -DSUITESPARSE_USE_FORTRAN=OFF >"$BUILD/configure.log" 2>&1 \
    || { tail -40 "$BUILD/configure.log" >&2; die "CMake configuration of SuiteSparse failed (log: $BUILD/configure.log)"; }
log "building (a minute or two)"
cmake --build "$BUILD/out" -j"$(nproc)" >"$BUILD/build.log" 2>&1 \
    || { tail -40 "$BUILD/build.log" >&2; die "SuiteSparse build failed (log: $BUILD/build.log)"; }
cmake --install "$BUILD/out" >"$BUILD/install.log" 2>&1 || die "SuiteSparse install failed"
have_install "$PREFIX" || die "SuiteSparse installed into $PREFIX but its CMake packages are missing"
touch "$PREFIX/.ferrow-complete"
rm -rf "$BUILD"
log "installed into $PREFIX"
echo "$PREFIX"
