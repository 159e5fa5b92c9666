#!/usr/bin/env bash
# Checks the desktop metadata and the Debian package as distributions do: the desktop entry,
# the AppStream metadata, lintian, and an install test that runs the programs unpacked from
# the package. Build the package first (scripts/build.sh package).
# Prints "ok <check>" or "FAIL <check>" per check and a summary; fails when any check fails.
# Usage: scripts/check-package.sh [package.deb]
set -euo pipefail
cd "$(dirname "$0")/.."

app_id=org.varnel.Varnel
desktop=resources/$app_id.desktop
metainfo=resources/$app_id.metainfo.xml
shopt -s nullglob
built=(build/package/varnel_*_amd64.deb)  # scripts/build.sh package leaves only the newest
deb=${1:-${built[0]:-}}
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    echo "check-package: no package; build it with scripts/build.sh package" >&2
    exit 1
fi

root=$(mktemp -d /tmp/varnel-package.XXXXXX)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/deb"
version=$(dpkg-deb -f "$deb" Version)

passed=0
failed=0
# check NAME COMMAND...: runs the command with its output kept; shows the output on failure.
check() {
    local name=$1 out rc=0
    shift
    out=$("$@" 2>&1) || rc=$?
    if [ "$rc" -eq 0 ]; then
        echo "ok   $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name (exit code $rc)"
        printf '%s\n' "$out" | sed 's/^/     /'
        failed=$((failed + 1))
    fi
}

# AppStream: warnings fail too (--strict); pedantic hints do not.
check "desktop-file-validate $desktop" desktop-file-validate "$desktop"
check "appstreamcli validate $metainfo" appstreamcli validate --no-net --strict "$metainfo"
check "appstreamcli validate-tree (installed desktop entry, metadata, icons)" \
    appstreamcli validate-tree --no-net --strict "$root/deb"

# The version of the package is the newest release the metadata and the changelog announce.
release_versions() {
    local newest_release changelog
    newest_release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
    changelog=$(dpkg-parsechangelog -l resources/debian/changelog -S Version)
    if [ "$newest_release" != "$version" ] || [ "$changelog" != "$version" ]; then
        echo "package $version, metainfo $newest_release, changelog $changelog"
        return 1
    fi
}
check "version $version in the metadata's newest release and the changelog" release_versions

# Errors and warnings both fail; a warning kept on purpose goes into a lintian override with
# its reason.
check "lintian $(basename "$deb")" lintian --fail-on error,warning --no-tag-display-limit "$deb"

# `cmake --install` lays out the same files as the package.
same_layout() {
    cmake --install "$(dirname "$deb")" --prefix "$root/cmake/usr" >/dev/null
    diff <(cd "$root/deb" && find . -not -type d | sort) \
        <(cd "$root/cmake" && find . -not -type d | sort)
}
check "cmake --install gives the package's layout" same_layout

# The SCPI unit template, as an instance, with ExecStart pointed at the unpacked program.
verify_unit() {
    local unit=$root/deb/usr/lib/systemd/system/varnel-scpi@.service dir=$root/units
    mkdir -p "$dir"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/deb/usr/bin/|" "$unit" >"$dir/varnel-scpi@COM5.service"
    SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$dir/varnel-scpi@COM5.service"
}
# The sandbox keeps the unit's exposure at 5.0 or less ("OK"; 10 is an unconfined service).
unit_exposure() {
    SYSTEMD_LOG_LEVEL=warning systemd-analyze security --offline=true --threshold=50 --no-pager \
        "$root/units/varnel-scpi@COM5.service" | tail -n 1
}
# syscall_set GROUP...: the system calls of the groups (@system-service), nested ones opened.
syscall_set() {
    local group name
    for group in "$@"; do
        systemd-analyze syscall-filter --no-pager "$group" | awk 'NR > 1 && NF && $1 !~ /^#/ {print $1}' |
            while read -r name; do
                case $name in @*) syscall_set "$name" ;; *) echo "$name" ;; esac
            done
    done
}

# The server stays within the unit's system-call filter: the unpacked varnel-ctl serves two
# queries and a web page's state request against the unpacked simulator under strace, listening
# on every interface (whose addresses the web door asks the kernel for), and every call it made
# must be in the unit's SystemCallFilter= groups and not in its ~ groups. Its private port
# folder has dangling COM1..COM96, so nothing of the machine's own is opened; VXI-11 stays off
# and the page takes a free port, so that the machine's ports 111 and 80 are not taken.
serve_within_filter() {
    local dir=$root/sandbox unit=$root/units/varnel-scpi@COM5.service n port="" web="" answer=""
    local page="" pid
    local module_pid server_pid bin=$root/deb/usr/bin
    mkdir -p "$dir/ports"
    for n in $(seq 1 96); do ln -s "$dir/nowhere/COM$n" "$dir/ports/COM$n"; done
    VARNEL_PORTS=$dir/ports "$bin/varnel-module" --com 100 </dev/null >"$dir/module.log" 2>&1 &
    module_pid=$!
    VARNEL_PORTS=$dir/ports strace -f -qq -o "$dir/trace" "$bin/varnel-ctl" serve COM100 \
        --direct --no-vxi11 --listen 0.0.0.0:0 --allow 127.0.0.1/32 --http 0 </dev/null \
        >"$dir/serve.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 1 100); do
        port=$(sed -n 's/.*serving.* on 0\.0\.0\.0:\([0-9]*\)$/\1/p' "$dir/serve.log")
        web=$(sed -n 's|.*web page on http://0\.0\.0\.0:\([0-9]*\)/$|\1|p' "$dir/serve.log")
        [ -n "$port" ] && [ -n "$web" ] && break
        sleep 0.1
    done
    if [ -n "$port" ] && exec 3<>"/dev/tcp/127.0.0.1/$port"; then
        printf 'CHAN 45;*OPC?\nCHAN?\n' >&3
        read -r -t 10 answer <&3 && read -r -t 10 answer <&3 || answer=""
        exec 3>&-
    fi
    if [ -n "$web" ] && exec 3<>"/dev/tcp/127.0.0.1/$web"; then
        printf 'GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' \
            "$web" >&3
        read -r -t 10 page <&3 || page=""
        exec 3>&-
    fi
    pid=$(awk 'NR == 1 {print $1}' "$dir/trace")
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null
    wait "$server_pid" || true
    kill -TERM "$module_pid" 2>/dev/null
    wait "$module_pid" || true
    [ "$answer" = 45 ] || { echo "no answer 45 (got \"$answer\"): $(cat "$dir/serve.log")"; return 1; }
    [ "${page%$'\r'}" = "HTTP/1.1 200 OK" ] || { echo "no page (got \"$page\")"; return 1; }
    comm -23 <(sed -E 's/^[0-9]+ +//; s/\(.*//' "$dir/trace" | grep -E '^[a-z0-9_]+$' | sort -u) \
        <(comm -23 <(syscall_set $(sed -n 's/^SystemCallFilter=\([^~].*\)/\1/p' "$unit") | sort -u) \
                   <(syscall_set $(sed -n 's/^SystemCallFilter=~//p' "$unit") | sort -u)) \
        >"$dir/outside"
    [ ! -s "$dir/outside" ] || { echo "calls outside the filter: $(cat "$dir/outside")"; return 1; }
}

if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify varnel-scpi@.service" verify_unit
    check "systemd-analyze security varnel-scpi@.service: exposure 5.0 or less" unit_exposure
    if command -v strace >/dev/null; then
        check "varnel-ctl serve stays within the unit's system-call filter" serve_within_filter
    else
        echo "skip the unit's system-call filter: strace is not installed"
    fi
else
    echo "skip systemd-analyze verify: systemd is not installed"
fi

# The unpacked programs run: no display, so --version and --help must not need one.
runs() {
    local expect=$1 out
    shift
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 "$@" </dev/null) ||
        { echo "exit code $?: $out"; return 1; }
    grep -qF -- "$expect" <<<"$out" || { echo "no \"$expect\" in: $out"; return 1; }
}
bin=$root/deb/usr/bin
check "unpacked varnel --version" runs "$version" "$bin/varnel" --version
check "unpacked varnel-module --help" runs "Usage: varnel-module" "$bin/varnel-module" --help
for program in "$bin"/*; do
    name=$(basename "$program")
    case "$name" in
        varnel | varnel-module) ;;
        *) check "unpacked $name --help" runs "$name" "$program" --help ;;
    esac
done

echo "package checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
