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
    echo "no copy of $TARBALL to serve (the interpreter was found, not built)" >"${MORLA_STAGE_SKIP_FILE:-/dev/null}"
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

# Serves directory $1 on 127.0.0.1; sets URL. The server binds a port of its own choosing and
# writes it to a file, so no other process can take the port in between.
serve() {
    local root="$1" port_file="$work/port.$RANDOM"
    "$PY" - "$root" "$port_file" >/dev/null 2>&1 <<'SERVER' &
import functools, http.server, os, sys
root, port_file = sys.argv[1], sys.argv[2]
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=root)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
with open(port_file + ".part", "w") as f:
    f.write(str(server.server_address[1]))
os.replace(port_file + ".part", port_file)
server.serve_forever()
SERVER
    servers+=($!)
    for _ in $(seq 100); do
        if [[ -s $port_file ]]; then
            URL="http://127.0.0.1:$(cat "$port_file")"
            return
        fi
        kill -0 "${servers[-1]}" 2>/dev/null || break
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
serve "$work/good"
got="$(env -u MORLA_TOOLCHAIN_DIR MORLA_CACHE="$work/cache" MORLA_DEBIAN_MIRROR="$URL" \
    bash scripts/bootstrap.sh --fetch-only)"
[[ $got == "$work/cache/$TARBALL" && -f $got ]] || { echo "test-download: printed '$got'" >&2; exit 1; }
cmp -s "$got" "$source_copy" || { echo "test-download: the download differs from the source" >&2; exit 1; }

echo "test-download: a corrupted download is refused and not kept" >&2
serve "$work/bad"
if env -u MORLA_TOOLCHAIN_DIR MORLA_CACHE="$work/cache-bad" MORLA_DEBIAN_MIRROR="$URL" \
    bash scripts/bootstrap.sh --fetch-only >"$work/bad.out" 2>"$work/bad.err"; then
    echo "test-download: a corrupted tarball was accepted" >&2
    exit 1
fi
grep -q "sha256 mismatch" "$work/bad.err" || { cat "$work/bad.err" >&2; exit 1; }
[[ ! -e $work/cache-bad/$TARBALL ]] || { echo "test-download: the corrupted tarball was kept" >&2; exit 1; }
echo "test-download: passed" >&2
