#!/usr/bin/env bash
# Sets up everything the project needs on a fresh Debian machine and builds the extension:
# a free-threaded CPython 3.14 (built from source when none is found), a venv with the
# Python packages, and the morla_core module installed into that venv.
# Idempotent: with everything cached a rerun takes seconds. Progress goes to stderr; the only
# line on stdout is the venv's python, printed last, so callers can capture it.
#
# Environment: MORLA_CACHE (cache dir, default ~/.cache/morla), PYTHON (interpreter to use),
# MORLA_TOOLCHAIN_DIR (dir holding the CPython source tarball), MORLA_DEBIAN_MIRROR (the Debian
# archive to download the tarball from when no copy is at hand; default: the one apt uses).
#
# `bootstrap.sh --gil` does the same for the regular CPython 3.14 with the GIL, built from the same
# tarball without --disable-gil, with a prefix, venv, build directory and lock of its own
# (GIL_PYTHON314 names an interpreter to use instead); it prints that venv's python.
# `bootstrap.sh --fetch-only` only fetches and verifies the CPython source tarball and prints its
# path: the test command uses it to exercise the download a new machine makes.
set -euo pipefail
exec 3>&1 1>&2

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
PY_VERSION=3.14.7
TARBALL="python3.14_$PY_VERSION.orig.tar.xz"
TARBALL_SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
MODE="${1:-}"
case "$MODE" in
    "" | --gil | --fetch-only) ;;
    *) echo "bootstrap: unknown argument '$MODE' (expected --gil or --fetch-only)" >&2; exit 2 ;;
esac
if [[ $MODE == --gil ]]; then
    FLAVOUR=3.14 CONFIGURE_ARGS=() LOCK="$CACHE/.lock-gil" USER_PYTHON="${GIL_PYTHON314:-}"
else
    FLAVOUR=3.14t CONFIGURE_ARGS=(--disable-gil) LOCK="$CACHE/.lock" USER_PYTHON="${PYTHON:-}"
fi
PREFIX="$CACHE/python$FLAVOUR-$PY_VERSION"
VENV="$CACHE/venv-$FLAVOUR"
# The build and test tools, and what the main job uses (scikit-learn's digits, the progress bar,
# the plot, and mpi4py with MPICH's runtime and mpiexec for training across processes).
REQUIREMENTS=("numpy>=2" ml_dtypes pytest hypothesis pytest-run-parallel mypy build "scikit-build-core>=0.10"
              "cmake>=3.26" ninja scikit-learn matplotlib tqdm "mpi4py>=4" mpich)
BUILD_DEPS=(build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
            libreadline-dev uuid-dev libncurses-dev libgdbm-dev libzstd-dev pkg-config xz-utils)

# Progress goes to stderr explicitly: functions whose stdout is captured log too.
log() { echo "bootstrap: $*" >&2; }
die() { log "error: $*"; exit 1; }

mkdir -p "$CACHE"
exec 9>"$LOCK"
flock 9  # one bootstrap of each kind at a time per cache

# True when $1 runs and is a CPython 3.14 of the kind wanted: free-threaded, or with the GIL
# under --gil.
is_wanted_314() {
    local want=True
    [[ $MODE == --gil ]] && want=False
    "$1" -c "import sys, sysconfig
assert sys.version_info[:2] == (3, 14) and bool(sysconfig.get_config_var('Py_GIL_DISABLED')) == $want" \
        2>/dev/null
}

install_build_deps() {
    if [[ $EUID -ne 0 ]]; then
        log "not root: assuming the CPython build dependencies are installed"
        return
    fi
    local pkgs=("${BUILD_DEPS[@]}") missing=() p
    command -v curl >/dev/null || command -v wget >/dev/null || pkgs+=(curl)
    for p in "${pkgs[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    if ((${#missing[@]})); then
        log "installing Debian packages: ${missing[*]}"
        # One apt at a time: a bootstrap of the other kind may be installing too.
        (
            flock 8
            apt-get update -qq -o DPkg::Lock::Timeout=600
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
                "${missing[@]}" >/dev/null
        ) 8>"$CACHE/.lock-apt"
    fi
}

# The Debian archive to download from: MORLA_DEBIAN_MIRROR, else the one apt is configured with
# (first non-security "/debian" URI).
apt_mirror() {
    if [[ -n ${MORLA_DEBIAN_MIRROR:-} ]]; then
        echo "${MORLA_DEBIAN_MIRROR%/}"
        return
    fi
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
              2>/dev/null | grep -v '^[[:space:]]*#' | grep -oE 'https?://[^[:space:]]+/debian/?([[:space:]]|$)' \
              | head -n 1 | tr -d '[:space:]') || true
    uri="${uri%/}"
    echo "${uri:-http://deb.debian.org/debian}"
}

# Prints the path of a verified copy of the CPython source tarball.
fetch_tarball() {
    local file="$CACHE/$TARBALL"
    if [[ -n ${MORLA_TOOLCHAIN_DIR:-} && -f $MORLA_TOOLCHAIN_DIR/$TARBALL ]]; then
        file="$MORLA_TOOLCHAIN_DIR/$TARBALL"
    elif [[ ! -f $file ]]; then
        local url
        url="$(apt_mirror)/pool/main/p/python3.14/$TARBALL"
        log "downloading $url"
        # A part file of its own (a bootstrap of the other kind may be downloading too), removed
        # when the download fails or is interrupted.
        local part
        part="$(mktemp "$file.part.XXXXXX")"
        trap 'rm -f "$part"' EXIT
        if command -v curl >/dev/null; then curl -fsSL -o "$part" "$url" || die "download failed: $url"
        else wget -q -O "$part" "$url" || die "download failed: $url"; fi
        mv "$part" "$file"
        trap - EXIT
    fi
    if ! echo "$TARBALL_SHA256  $file" | sha256sum --check --quiet >/dev/null 2>&1; then
        [[ $file == "$CACHE/$TARBALL" ]] && rm -f "$file"  # a bad download is fetched again next time
        die "sha256 mismatch: $file"
    fi
    echo "$file"
}

build_python() {
    install_build_deps
    local tarball srcdir="$CACHE/src" build_log="$CACHE/python-build.log" kind="free-threaded"
    if [[ $MODE == --gil ]]; then
        srcdir="$CACHE/src-gil" build_log="$CACHE/python-build-gil.log" kind="GIL-enabled"
    fi
    local src="$srcdir/Python-$PY_VERSION"
    tarball="$(fetch_tarball)"
    [[ -f $tarball ]] || die "no CPython source tarball at '$tarball'"
    rm -rf "$src" "$PREFIX"
    mkdir -p "$srcdir"
    tar -xf "$tarball" -C "$srcdir"
    log "building $kind CPython $PY_VERSION into $PREFIX (log: $build_log)"
    if ! (cd "$src" && ./configure ${CONFIGURE_ARGS[@]+"${CONFIGURE_ARGS[@]}"} --prefix="$PREFIX" --with-ensurepip=install \
            && make -j"$(nproc)" && make install) >"$build_log" 2>&1; then
        log "CPython build failed; end of $build_log:"
        tail -n 40 "$build_log"
        exit 1
    fi
    is_wanted_314 "$PREFIX/bin/python$FLAVOUR" || die "built interpreter is not a $kind CPython 3.14"
    touch "$PREFIX/.complete"
}

find_python() {
    local cached="$PREFIX/bin/python$FLAVOUR"
    if [[ -n $USER_PYTHON ]]; then
        is_wanted_314 "$USER_PYTHON" || die "$USER_PYTHON is not a CPython $FLAVOUR"
        PY="$USER_PYTHON"
    elif [[ $MODE != --gil ]] && command -v python3.14t >/dev/null && is_wanted_314 python3.14t; then
        PY="$(command -v python3.14t)"
    else
        # .complete marks a finished install. Without it a working interpreter is still accepted
        # (e.g. built by hand) if it has pip, which `make install` installs last; anything else
        # is taken for a half-finished build and rebuilt.
        if [[ -f $PREFIX/.complete ]] && is_wanted_314 "$cached"; then
            :
        elif is_wanted_314 "$cached" && "$cached" -m pip --version >/dev/null 2>&1; then
            touch "$PREFIX/.complete"
        else
            build_python
        fi
        PY="$cached"
    fi
}

ensure_venv() {
    local identity='import sys; print(sys.base_prefix, sys.version)'
    VPY="$VENV/bin/python"
    if [[ ! -x $VPY || "$("$VPY" -c "$identity" 2>/dev/null)" != "$("$PY" -c "$identity")" ]]; then
        log "creating venv $VENV from $PY"
        rm -rf "$VENV"
        "$PY" -m venv "$VENV"
    fi
    local stamp="$VENV/.requirements"
    if [[ "$(cat "$stamp" 2>/dev/null)" != "${REQUIREMENTS[*]}" ]]; then
        log "installing ${REQUIREMENTS[*]}"
        "$VPY" -m pip install -q "${REQUIREMENTS[@]}"
        echo "${REQUIREMENTS[*]}" >"$stamp"
    fi
}

build_module() {
    local args=(--no-build-isolation --no-deps --force-reinstall -q)
    log "building morla_core"
    (cd "$ROOT" && PATH="$VENV/bin:$PATH" "$VPY" -m pip install "${args[@]}" .)
}

if [[ $MODE == --fetch-only ]]; then
    tarball="$(fetch_tarball)"
    [[ -f $tarball ]] || die "no CPython source tarball at '$tarball'"
    echo "$tarball" >&3
    exit 0
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
find_python
ensure_venv
build_module
echo "$VPY" >&3
