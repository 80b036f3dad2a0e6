#!/usr/bin/env bash
# Exercises the path a new machine takes for the CPython source: no copy beside the project and
# an empty cache, so bootstrap downloads the tarball from the Debian archive. The archive is a
# local HTTP server on 127.0.0.1 that serves the same tarball under Debian's pool layout; a
# second server serves a corrupted copy, which must be refused and not kept.
# Usage: scripts/test-download.sh PYTHON (any python3 to run the servers)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$1"
CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
TARBALL=python3.14_3.14.7.orig.tar.xz
source_copy=""
for candidate in "${MORLA_TOOLCHAIN_DIR:-}/$TARBALL" "$CACHE/$TARBALL"; do
    [[ -f $candidate ]] && { source_copy="$candidate"; break; }
done
if [[ -z $source_copy ]]; then
    echo "test-download: no copy of $TARBALL to serve (the interpreter was found, not built); skipped" >&2
    exit 0
fi

work="$(mktemp -d)"
servers=()
cleanup() {
    for pid in ${servers[@]+"${servers[@]}"}; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Serves directory $1 on a free port of 127.0.0.1; prints the URL once it answers.
serve() {
    local root="$1" port
    port="$("$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    "$PY" -m http.server --bind 127.0.0.1 --directory "$root" "$port" >/dev/null 2>&1 &
    servers+=($!)
    for _ in $(seq 100); do
        if "$PY" -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/')" 2>/dev/null; then
            echo "http://127.0.0.1:$port"
            return
        fi
        sleep 0.1
    done
    echo "test-download: the local archive did not start" >&2
    exit 1
}

pool=pool/main/p/python3.14
mkdir -p "$work/good/$pool" "$work/bad/$pool"
ln -s "$(realpath "$source_copy")" "$work/good/$pool/$TARBALL"
head -c 1000000 "$source_copy" >"$work/bad/$pool/$TARBALL"

echo "test-download: bootstrap downloads the CPython source from a local archive" >&2
got="$(env -u MORLA_TOOLCHAIN_DIR MORLA_CACHE="$work/cache" MORLA_DEBIAN_MIRROR="$(serve "$work/good")" \
    bash scripts/bootstrap.sh --fetch-only)"
[[ $got == "$work/cache/$TARBALL" && -f $got ]] || { echo "test-download: printed '$got'" >&2; exit 1; }
cmp -s "$got" "$source_copy" || { echo "test-download: the download differs from the source" >&2; exit 1; }

echo "test-download: a corrupted download is refused and not kept" >&2
if env -u MORLA_TOOLCHAIN_DIR MORLA_CACHE="$work/cache-bad" MORLA_DEBIAN_MIRROR="$(serve "$work/bad")" \
    bash scripts/bootstrap.sh --fetch-only >"$work/bad.out" 2>"$work/bad.err"; then
    echo "test-download: a corrupted tarball was accepted" >&2
    exit 1
fi
grep -q "sha256 mismatch" "$work/bad.err" || { cat "$work/bad.err" >&2; exit 1; }
[[ ! -e $work/cache-bad/$TARBALL ]] || { echo "test-download: the corrupted tarball was kept" >&2; exit 1; }
echo "test-download: passed" >&2
