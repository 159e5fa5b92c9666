#!/usr/bin/env bash
# Runs the Windows test programs of a `scripts/build.sh windows` build under Wine, in a fresh
# prefix of their own that is removed afterwards.
# Usage: scripts/wine-tests.sh [windows build dir, default build/windows]
# The link's tests need the Linux build's simulator: $VARNEL_MODULE, else
# build/release/tools/varnel-module.
#
# Wine maps COMn to whatever $WINEPREFIX/dosdevices/comn links to, and on start-up it links
# every serial device it finds (this machine's real UART among them) to a free COM number.
# So the prefix gets all of COM1..COM256 pinned in the registry to paths that do not exist,
# except COM5, which names the port folder's COM5 entry that a varnel-module publishes. The
# links are checked before every program runs; a link to anything else stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/windows}
module_bin=${VARNEL_MODULE:-build/release/tools/varnel-module}
for tool in wine wineboot wineserver; do
    command -v "$tool" >/dev/null || { echo "wine-tests: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/varnel-wine.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs, no display: the test programs are console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
nowhere=$work/no-such-port
ports=$work/ports
# The test program asks about the pty's Linux side through files in here (see answer()).
sync=$work/sync
export VARNEL_WINE_SYNC="Z:${sync//\//\\}"
module_pid=
responder_pid=
pty=

cleanup() {
    stop_responder
    stop_module
    if [ -d "$WINEPREFIX" ]; then
        timeout 20 wineserver -k >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
note() { echo "wine-tests: $*"; }

. scripts/wine-prefix.sh
check_ports() { wine_check_ports "$ports" "$nowhere"; }
make_prefix() { wine_make_prefix "$ports" "$nowhere"; }

# run_exe NAME SECONDS EXE [ARGS...]: one test program, bounded in time.
run_exe() {
    local name=$1 seconds=$2 exe=$3 rc=0
    shift 3
    if [ ! -f "$exe" ]; then
        note "$name: $exe not built"
        failed=$((failed + 1))
        return
    fi
    check_ports || exit 1
    note "running $name"
    timeout --kill-after=5 "$seconds" wine "$exe" "$@" || rc=$?
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
    else
        note "$name failed (exit $rc)"
        failed=$((failed + 1))
    fi
}

# start_module [ARGS...]: a varnel-module published as COM5 in our port folder; sets $pty.
start_module() {
    VARNEL_PORTS=$ports "$module_bin" --com 5 --log "$@" </dev/null >"$work/module.log" \
        2>"$work/module.err" &
    module_pid=$!
    local i
    pty=
    for i in $(seq 1 500); do
        pty=$(sed -n 's/^varnel-module: COM5 -> //p' "$work/module.log" 2>/dev/null | head -n 1)
        [ -n "$pty" ] && break
        kill -0 "$module_pid" 2>/dev/null || break
        sleep 0.02
    done
    if [ -z "$pty" ] || [ "$(readlink -f "$WINEPREFIX/dosdevices/com5")" != "$pty" ]; then
        note "the module did not come up as COM5: $(cat "$work/module.err")"
        return 1
    fi
}

stop_module() {
    if [ -n "$module_pid" ]; then
        kill -TERM "$module_pid" 2>/dev/null || true
        wait "$module_pid" 2>/dev/null || true
        module_pid=
    fi
}

# The answer to one question of the test program (tests/win32/WineLinkSupport.h).
answer() {
    case "$1" in
        line) stty -F "$pty" -a 2>&1 ;;
        queued)
            # FIONREAD (0x541B on Linux) on a descriptor of our own: the bytes nobody read.
            perl -e 'use Fcntl; sysopen(my $f, $ARGV[0], O_RDONLY | O_NOCTTY | O_NONBLOCK)
                     or die "$!\n"; my $n = pack("i", 0); ioctl($f, 0x541B, $n) or die "$!\n";
                     print unpack("i", $n)' "$pty" 2>&1 ;;
        sent) awk '$2 == "tx"' "$work/module.log" | wc -l ;;
        received) awk '$2 == "rx"' "$work/module.log" | wc -l ;;
        unplug)
            # The module hangs up its pty and removes COM5 as when its adapter is pulled.
            kill -TERM "$module_pid" 2>/dev/null
            local i
            for i in $(seq 1 250); do
                kill -0 "$module_pid" 2>/dev/null || break
                sleep 0.02
            done
            kill -0 "$module_pid" 2>/dev/null && echo "still running" || echo "unplugged" ;;
        *) echo "unknown question: $1" ;;
    esac
}

start_responder() {
    rm -rf "$sync"
    mkdir -p "$sync"
    (
        while :; do
            if [ -f "$sync/ask" ]; then
                question=$(head -n 1 "$sync/ask" | tr -d '\r')
                rm -f "$sync/ask"
                answer "$question" >"$sync/answer.tmp"
                mv "$sync/answer.tmp" "$sync/answer"
            fi
            sleep 0.01
        done
    ) &
    responder_pid=$!
}

stop_responder() {
    if [ -n "$responder_pid" ]; then
        kill "$responder_pid" 2>/dev/null || true
        wait "$responder_pid" 2>/dev/null || true
        responder_pid=
    fi
}

# run_link NAME SECONDS MODULE-ARGS -- PROGRAM-ARGS: the link's test program against a fresh
# module.
run_link() {
    local name=$1 seconds=$2 module_args=()
    shift 2
    while [ "$1" != -- ]; do
        module_args+=("$1")
        shift
    done
    shift
    if [ ! -x "$module_bin" ]; then
        note "$name: $module_bin not built (scripts/build.sh release varnel-module)"
        failed=$((failed + 1))
        return
    fi
    if ! start_module "${module_args[@]}"; then
        failed=$((failed + 1))
        stop_module
        return
    fi
    start_responder
    run_exe "$name" "$seconds" "$build/tests/win32/test_win32_link.exe" "$@"
    stop_responder
    stop_module
}

make_prefix
run_exe protocol 120 "$build/tests/protocol/test_protocol.exe" --gtest_brief=1
run_exe controller 300 "$build/tests/controller/test_controller.exe" --gtest_brief=1
run_link "link" 120 -- --gtest_filter='WineLink.*'
run_link "link unplugged" 60 -- --gtest_filter='WineUnplug.*'
run_link "link at exit" 30 -- --exit-with-port-open

echo "wine-tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
