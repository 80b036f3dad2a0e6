#!/usr/bin/env bash
# Sets up everything the project needs on a fresh Debian machine and builds the extension:
# a free-threaded CPython 3.14 (built from source when none is found), a venv with the
# Python packages, and the morla_core module installed into that venv.
# Idempotent: with everything cached a rerun takes seconds. Progress goes to stderr; the only
# line on stdout is the venv's python, printed last, so callers can capture it.
#
# Environment: MORLA_CACHE (cache dir, default ~/.cache/morla), PYTHON (interpreter to use),
# MORLA_TOOLCHAIN_DIR (dir holding the CPython source tarball), MORLA_DEBIAN_MIRROR (the Debian
# archive to download the tarball from when no copy is at hand; default: the one apt uses),
# MORLA_KEEP_SOURCE=1 (keep the CPython build trees, which are otherwise removed once installed).
#
# `bootstrap.sh --gil` does the same for the regular CPython 3.14 with the GIL, built from the same
# tarball without --disable-gil, with a prefix, venv, build directory and lock of its own
# (GIL_PYTHON314 names an interpreter to use instead); it prints that venv's python.
# `bootstrap.sh --aarch64` sets up 64-bit ARM Linux on this x86-64 machine, run under qemu-user:
# the cross toolchain, qemu and the arm64 libraries (Debian multiarch); the native free-threaded
# 3.14 and its venv as above (they build everything); the free-threaded CPython cross-built for
# aarch64 from the same tarball into a prefix of its own; an aarch64 venv whose packages are
# aarch64 wheels installed by the native pip; and the module cross-compiled into a wheel
# (scripts/wheel-aarch64.sh), repaired to manylinux and installed into that venv. It registers
# qemu with binfmt_misc when it can, so that aarch64 programs, such as the children a test starts
# from sys.executable, run directly. It prints the venv's python-emulated, a script that runs
# the venv's python under qemu.
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
    "" | --gil | --aarch64 | --fetch-only) ;;
    *) echo "bootstrap: unknown argument '$MODE' (expected --gil, --aarch64 or --fetch-only)" >&2; exit 2 ;;
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

# aarch64: the prefix of the cross-built interpreter, its venv (the tests' packages, as aarch64
# wheels), and what the cross-build needs: the cross compiler, qemu (with its binfmt_misc
# entries), and the arm64 libraries CPython links against plus the C and C++ runtime libraries
# that programs run under qemu load (from the root, through multiarch).
A64_PREFIX="$CACHE/python3.14t-$PY_VERSION-aarch64"
A64_VENV="$CACHE/venv-3.14t-aarch64"
A64_REQUIREMENTS=("numpy>=2" ml_dtypes pytest hypothesis pytest-run-parallel)
A64_DEPS=(build-essential pkg-config xz-utils g++-aarch64-linux-gnu qemu-user qemu-user-binfmt
          googletest)  # GoogleTest's sources, built with the cross compiler for the kernel tests
A64_ARM64_DEPS=(libffi-dev zlib1g-dev libssl-dev libbz2-dev liblzma-dev libsqlite3-dev libzstd-dev
                libexpat1-dev uuid-dev libc6 libstdc++6)

# Progress goes to stderr explicitly: functions whose stdout is captured log too.
log() { echo "bootstrap: $*" >&2; }
die() { log "error: $*"; exit 1; }

mkdir -p "$CACHE"
if [[ $MODE == --aarch64 ]]; then
    # One aarch64 bootstrap at a time; the native part below takes the native lock as well, only
    # while it sets up the native interpreter and venv.
    exec 7>"$CACHE/.lock-aarch64"
    flock -n 7 || { log "waiting for another aarch64 set-up in this cache to finish"; flock 7; }
fi
exec 9>"$LOCK"
# One bootstrap of each kind at a time per cache.
flock -n 9 || { log "waiting for another set-up in this cache to finish ($LOCK)"; flock 9; }

# True when $1 runs and is a CPython 3.14 of the kind wanted: free-threaded, or with the GIL
# under --gil.
is_wanted_314() {
    local want=True
    [[ $MODE == --gil ]] && want=False
    "$1" -c "import sys, sysconfig
assert sys.version_info[:2] == (3, 14) and bool(sysconfig.get_config_var('Py_GIL_DISABLED')) == $want" \
        2>/dev/null
}

# apt_install PACKAGE...: installs those of the Debian packages (name or name:arch) that are
# missing, quietly. Adds the arm64 architecture first when a package asks for it.
apt_install() {
    local missing=() p add_arch=false
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    if [[ " ${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
        add_arch=true
    fi
    log "installing Debian packages: ${missing[*]}"
    # One apt at a time: a bootstrap of another kind may be installing too.
    (
        flock 8
        if $add_arch && ! dpkg --print-foreign-architectures | grep -qx arm64; then
            log "adding the arm64 architecture to dpkg"
            dpkg --add-architecture arm64
        fi
        apt-get update -qq -o DPkg::Lock::Timeout=600
        # Multiarch packages share one version across architectures: this may upgrade the amd64
        # counterparts of the arm64 libraries.
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
            "${missing[@]}" >/dev/null
    ) 8>"$CACHE/.lock-apt"
}

install_build_deps() {
    if [[ $EUID -ne 0 ]]; then
        log "not root: assuming the CPython build dependencies are installed"
        return
    fi
    local pkgs=("${BUILD_DEPS[@]}")
    command -v curl >/dev/null || command -v wget >/dev/null || pkgs+=(curl)
    apt_install "${pkgs[@]}"
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
        local remedy="check the network or set MORLA_DEBIAN_MIRROR, or put $TARBALL in a directory named by MORLA_TOOLCHAIN_DIR"
        if command -v curl >/dev/null; then
            curl -fsSL --connect-timeout 30 --speed-limit 1000 --speed-time 60 -o "$part" "$url" || die "could not download $url: $remedy"
        elif command -v wget >/dev/null; then
            wget -q --timeout=30 -O "$part" "$url" || die "could not download $url: $remedy"
        else
            die "neither curl nor wget is installed to download $url: install one (apt-get install curl), or put $TARBALL in a directory named by MORLA_TOOLCHAIN_DIR"
        fi
        mv "$part" "$file"
        trap - EXIT
    fi
    if ! echo "$TARBALL_SHA256  $file" | sha256sum --check --quiet >/dev/null 2>&1; then
        [[ $file == "$CACHE/$TARBALL" ]] && rm -f "$file"  # a bad download is fetched again next time
        die "sha256 mismatch: $file"
    fi
    echo "$file"
}

# run_phase LOG DIR PHASE COMMAND...: runs COMMAND in DIR with its output appended to LOG, saying
# every 30 s which phase runs and for how long; on failure shows the end of LOG and exits.
run_phase() {
    local build_log="$1" dir="$2" phase="$3" start=$SECONDS
    shift 3
    log "$phase"
    if ! bash "$ROOT/scripts/heartbeat.sh" --log "$build_log" "bootstrap: $phase" env -C "$dir" "$@"; then
        log "$phase failed; end of $build_log:"
        tail -n 40 "$build_log" >&2
        exit 1
    fi
    log "$phase: done in $((SECONDS - start)) s"
}

# unpack_source DIR: DIR emptied and the verified CPython source unpacked into it
# (DIR/Python-$PY_VERSION).
unpack_source() {
    local tarball
    tarball="$(fetch_tarball)"
    [[ -f $tarball ]] || die "no CPython source tarball at '$tarball'"
    rm -rf "$1"
    mkdir -p "$1"
    tar -xf "$tarball" -C "$1"
}

build_python() {
    install_build_deps
    local srcdir="$CACHE/src" build_log="$CACHE/python-build.log" kind="free-threaded"
    if [[ $MODE == --gil ]]; then
        srcdir="$CACHE/src-gil" build_log="$CACHE/python-build-gil.log" kind="GIL-enabled"
    fi
    local src="$srcdir/Python-$PY_VERSION"
    rm -rf "$PREFIX"
    unpack_source "$srcdir"
    log "building $kind CPython $PY_VERSION into $PREFIX (log: $build_log)"
    : >"$build_log"
    run_phase "$build_log" "$src" "configure" \
        ./configure ${CONFIGURE_ARGS[@]+"${CONFIGURE_ARGS[@]}"} --prefix="$PREFIX" --with-ensurepip=install
    run_phase "$build_log" "$src" "make" make -j"$(nproc)"
    run_phase "$build_log" "$src" "make install" make install
    is_wanted_314 "$PREFIX/bin/python$FLAVOUR" || die "built interpreter is not a $kind CPython 3.14"
    touch "$PREFIX/.complete"
    drop_source_tree "$srcdir"
}

# drop_source_tree DIR: removes an unpacked and built CPython source tree (about 0.5 GB; a rebuild
# starts from the tarball anyway) unless MORLA_KEEP_SOURCE=1.
drop_source_tree() {
    [[ -d $1 && ${MORLA_KEEP_SOURCE:-0} != 1 ]] || return 0
    log "removing the CPython build tree $1 (MORLA_KEEP_SOURCE=1 keeps it)"
    rm -rf "$1"
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
            # A tree an earlier set-up kept.
            if [[ $MODE == --gil ]]; then drop_source_tree "$CACHE/src-gil"; else drop_source_tree "$CACHE/src"; fi
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
        bash "$ROOT/scripts/heartbeat.sh" "bootstrap: installing the venv's packages" \
            "$VPY" -m pip install -q "${REQUIREMENTS[@]}"
        echo "${REQUIREMENTS[*]}" >"$stamp"
    fi
}

# The fingerprint of what the installed module is built from: the interpreter, the compiler and
# its settings, and the contents of every kind of file pip's build reads (sources, stubs,
# package, build configuration); editor backups and bytecode do not count.
source_fingerprint() {
    (
        cd "$ROOT"
        "$VPY" -c 'import sys; print(sys.version)'
        "${CXX:-c++}" --version 2>&1 | head -n 1
        echo "${CXX:-} ${CXXFLAGS:-} ${CPPFLAGS:-} ${LDFLAGS:-} ${CMAKE_ARGS:-}"
        find CMakeLists.txt pyproject.toml cmake src python -type f \( -name CMakeLists.txt -o \
            -name '*.cmake' -o -name '*.[ch]pp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o \
            -name py.typed -o -name pyproject.toml -o -name '*.txt' \) ! -path '*/__pycache__/*' \
            -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
    ) | sha256sum | cut -d' ' -f1
}

# The sha256 of the installed extension module (nothing when it does not import).
installed_module_hash() {
    local file
    file="$("$VPY" -I -c 'import morla_core; print(morla_core.__file__)' 2>/dev/null)" || return 0
    sha256sum "$file" | cut -d' ' -f1
}

# Builds and installs the module unless the installed one was built from this very source.
build_module() {
    local stamp="$VENV/.morla-source" fingerprint
    fingerprint="$(source_fingerprint)"
    # The stamp pairs the source's fingerprint with the installed file's, so a module installed
    # by other means is rebuilt.
    if [[ "$(cat "$stamp" 2>/dev/null)" == "$fingerprint $(installed_module_hash)" ]]; then
        log "morla_core is up to date with the source"
        return
    fi
    rm -f "$stamp"
    local args=(--no-build-isolation --no-deps --force-reinstall -q)
    log "building morla_core"
    (cd "$ROOT" && PATH="$VENV/bin:$PATH" bash "$ROOT/scripts/heartbeat.sh" "bootstrap: building morla_core" \
        "$VPY" -m pip install "${args[@]}" .)
    local hash
    hash="$(installed_module_hash)"
    [[ -n $hash ]] || die "morla_core was built and installed but does not import: try $VPY -I -c 'import morla_core'"
    echo "$fingerprint $hash" >"$stamp"
}

# ---- aarch64 ----

# Runs an aarch64 program under qemu.
emulate() { OPENBLAS_NUM_THREADS=1 OPENBLAS_CORETYPE=ARMV8 qemu-aarch64 "$@"; }

install_aarch64_deps() {
    if [[ $EUID -ne 0 ]]; then
        log "not root: assuming the aarch64 cross toolchain, qemu and the arm64 libraries are installed"
        return
    fi
    apt_install "${A64_DEPS[@]}" "${A64_ARM64_DEPS[@]/%/:arm64}"
}

# True when $1 is a free-threaded CPython 3.14 for aarch64 that runs under qemu.
is_aarch64_314t() {
    emulate "$1" -c "import platform, sys, sysconfig
assert sys.version_info[:2] == (3, 14) and sysconfig.get_config_var('Py_GIL_DISABLED')
assert platform.machine() == 'aarch64'" 2>/dev/null
}

# Cross-builds the free-threaded CPython for aarch64 into A64_PREFIX, with the native one ($PY)
# as the build Python. Without -g (the install is a third of the size) and without the test
# modules and test suite, which nothing here runs under qemu.
build_python_aarch64() {
    local srcdir="$CACHE/src-aarch64" build_log="$CACHE/python-build-aarch64.log"
    local src="$srcdir/Python-$PY_VERSION" build="$srcdir/build"
    rm -rf "$A64_PREFIX"
    unpack_source "$srcdir"
    mkdir -p "$build"
    log "cross-building free-threaded CPython $PY_VERSION for aarch64 into $A64_PREFIX (log: $build_log)"
    : >"$build_log"
    # configure cannot run aarch64 test programs, so the answers it would find are given; the
    # arm64 libraries' .pc files are found through PKG_CONFIG_LIBDIR.
    run_phase "$build_log" "$build" "configure (aarch64)" "$src/configure" \
        --host=aarch64-linux-gnu --build="$(gcc -dumpmachine)" --disable-gil \
        --with-build-python="$PY" --prefix="$A64_PREFIX" --with-ensurepip=no --disable-test-modules \
        CC=aarch64-linux-gnu-gcc CXX=aarch64-linux-gnu-g++ AR=aarch64-linux-gnu-ar \
        READELF=aarch64-linux-gnu-readelf OPT="-DNDEBUG -O3 -Wall" \
        PKG_CONFIG=pkg-config PKG_CONFIG_LIBDIR=/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig \
        ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no
    run_phase "$build_log" "$build" "make (aarch64)" make -j2
    run_phase "$build_log" "$build" "make install (aarch64)" make install
    is_aarch64_314t "$A64_PREFIX/bin/python3.14t" \
        || die "the cross-built interpreter does not run under qemu as a free-threaded CPython 3.14"
    touch "$A64_PREFIX/.complete"
    drop_source_tree "$srcdir"
}

find_python_aarch64() {
    if [[ -f $A64_PREFIX/.complete ]] && is_aarch64_314t "$A64_PREFIX/bin/python3.14t"; then
        return
    fi
    build_python_aarch64
}

# The venv is made under qemu without pip (a second); the native pip installs the aarch64 wheels
# into it (scripts/pip-aarch64.sh).
ensure_venv_aarch64() {
    local stamp="$A64_VENV/.requirements"
    if [[ ! -x $A64_VENV/bin/python || "$(grep '^home = ' "$A64_VENV/pyvenv.cfg" 2>/dev/null)" != "home = $A64_PREFIX/bin"
          || "$(cat "$stamp" 2>/dev/null)" != "${A64_REQUIREMENTS[*]}" ]]; then
        log "creating venv $A64_VENV with ${A64_REQUIREMENTS[*]}"
        rm -rf "$A64_VENV"
        emulate "$A64_PREFIX/bin/python3.14t" -m venv --without-pip "$A64_VENV"
        bash "$ROOT/scripts/pip-aarch64.sh" "$VPY" "$A64_VENV" "${A64_REQUIREMENTS[@]}"
        echo "${A64_REQUIREMENTS[*]}" >"$stamp"
    fi
}

# The command that runs the venv's python under qemu (the python beside it, so a copy of it serves
# a copy of the venv too). Under qemu 7.2 NumPy's OpenBLAS hangs with more than one thread, and
# its kernels for the newest cores, which it picks for qemu's CPU, give wrong float64 products;
# children started from sys.executable run through binfmt_misc. Programs find their loader and
# libraries from the root (Debian's arm64 multiarch ones): the cross toolchain's loader in
# /usr/aarch64-linux-gnu, paired with the newer multiarch C library, hangs at a thread's join.
write_wrapper() {
    WRAPPER="$A64_VENV/bin/python-emulated"
    cat >"$WRAPPER.part" <<EOF
#!/bin/sh
# Runs the aarch64 python beside this script under qemu-user (written by scripts/bootstrap.sh --aarch64).
here="\$(dirname "\$(readlink -f "\$0")")"
export OPENBLAS_NUM_THREADS=1 OPENBLAS_CORETYPE=ARMV8
exec qemu-aarch64 "\$here/python" "\$@"
EOF
    chmod +x "$WRAPPER.part"
    mv "$WRAPPER.part" "$WRAPPER"
}

# Lets the kernel run aarch64 programs through qemu (binfmt_misc), for child processes; says in
# one line when it cannot.
register_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc conf=/usr/lib/binfmt.d/qemu-aarch64.conf why
    if [[ ! -e $dir/register && $EUID -eq 0 ]]; then
        mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || true
    fi
    if [[ -e $dir/qemu-aarch64 ]]; then
        if head -n 1 "$dir/qemu-aarch64" | grep -qx enabled \
                || { [[ $EUID -eq 0 ]] && echo 1 2>/dev/null >"$dir/qemu-aarch64"; }; then
            return
        fi
        why="its binfmt_misc entry is disabled"
    elif [[ $EUID -ne 0 ]]; then
        why="not root"
    elif [[ ! -e $dir/register ]]; then
        why="binfmt_misc cannot be mounted"
    elif [[ ! -f $conf ]]; then
        why="no $conf"
    elif grep -v '^[[:space:]]*#' "$conf" | grep -m 1 . 2>/dev/null >"$dir/register"; then
        log "registered qemu-aarch64 with binfmt_misc"
        return
    else
        why="the kernel refused the entry"
    fi
    log "aarch64 programs cannot run directly ($why): child processes the emulated python starts from sys.executable will fail"
}

# The module as a manylinux wheel for aarch64, installed into the aarch64 venv (its previous
# install removed first: pip --target replaces only what the new wheel holds).
# Skipped when the installed module was built from this very source, as for the native one.
install_module_aarch64() {
    local out="$CACHE/wheels-aarch64" site="$A64_VENV/lib/python3.14t/site-packages" wheel
    local stamp="$A64_VENV/.morla-source" fingerprint
    fingerprint="$(source_fingerprint) $(aarch64-linux-gnu-g++ --version | head -n 1 | sha256sum | cut -c1-16)"
    if [[ "$(cat "$stamp" 2>/dev/null)" == "$fingerprint $(aarch64_module_hash "$site")" ]]; then
        log "morla_core for aarch64 is up to date with the source"
        return
    fi
    rm -f "$stamp"
    log "building morla_core for aarch64"
    wheel="$(MORLA_CACHE="$CACHE" bash "$ROOT/scripts/wheel-aarch64.sh" "$VPY" "$WRAPPER" "$ROOT" "$out")"
    rm -rf "$site"/morla "$site"/morla_core[.-]*
    bash "$ROOT/scripts/pip-aarch64.sh" "$VPY" "$A64_VENV" --no-deps "$wheel"
    log "installed $(basename "$wheel") into $A64_VENV"
    echo "$fingerprint $(aarch64_module_hash "$site")" >"$stamp"
}

# The sha256 of the aarch64 extension module installed in site-packages $1 (nothing if none).
aarch64_module_hash() {
    local so=("$1"/morla_core.*.so)
    [[ -f ${so[0]} ]] || return 0
    sha256sum "${so[0]}" | cut -d' ' -f1
}

if [[ $MODE == --fetch-only ]]; then
    tarball="$(fetch_tarball)"
    [[ -f $tarball ]] || die "no CPython source tarball at '$tarball'"
    echo "$tarball" >&3
    exit 0
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
if [[ $MODE == --aarch64 ]]; then
    find_python
    ensure_venv
    flock -u 9  # the native part is set up; a native bootstrap may go on
    install_aarch64_deps
    find_python_aarch64
    ensure_venv_aarch64
    write_wrapper
    register_binfmt
    install_module_aarch64
    echo "$WRAPPER" >&3
    exit 0
fi
find_python
ensure_venv
build_module
echo "$VPY" >&3
