#!/usr/bin/env bash
# Runs the Windows test programs of a `scripts/build.sh windows` build under Wine, in a fresh
# prefix of their own that is removed afterwards.
# Usage: scripts/wine-tests.sh [windows build dir, default build/windows]
#
# Wine maps COMn to whatever $WINEPREFIX/dosdevices/comn links to, and on start-up it links
# every serial device it finds (this machine's real UART among them) to a free COM number.
# So the prefix gets all of COM1..COM256 pinned in the registry to paths that do not exist,
# except COM5, which names the port folder's COM5 entry that a varnel-module publishes. The
# links are checked before every program runs; a link to anything else stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/windows}
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

cleanup() {
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

# The only link allowed to lead somewhere is com5 -> $ports/COM5; every other one must lead
# to a path under $nowhere, which never exists.
check_ports() {
    local link target n
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [ -L "$link" ] || continue
        n=${link##*/com}
        target=$(readlink "$link")
        if [ "$n" = 5 ] && [ "$target" = "$ports/COM5" ]; then
            continue
        fi
        if [[ "$target" != "$nowhere"/* ]] || [ -e "$link" ]; then
            note "refusing to run: dosdevices/com$n -> $target is not ours"
            return 1
        fi
    done
}

make_prefix() {
    mkdir -p "$ports"
    timeout 120 wineboot -i >/dev/null 2>&1
    timeout 60 wineserver -w
    local reg=$work/ports.reg n
    {
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
        for n in $(seq 1 256); do
            if [ "$n" = 5 ]; then
                printf '"COM5"="%s/COM5"\n' "$ports"
            else
                printf '"COM%d"="%s/COM%d"\n' "$n" "$nowhere" "$n"
            fi
        done
    } >"$reg"
    timeout 60 wine regedit /S "Z:${reg//\//\\}"
    timeout 60 wineserver -w
    # A persistent server: Wine links the ports once, as it starts, from the registry above;
    # the links are then re-pointed anyway (a found device still takes a number past those
    # pinned) and stay so for the whole run.
    rm -f "$WINEPREFIX"/dosdevices/com*
    wineserver -p
    timeout 60 wine cmd /c exit
    local link
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [ -L "$link" ] || continue
        n=${link##*/com}
        [ "$n" = 5 ] || ln -sfn "$nowhere/COM$n" "$link"
    done
    check_ports
    note "prefix ready: $(find "$WINEPREFIX/dosdevices" -name 'com*' -lname "$nowhere/*" | wc -l)" \
        "COM links lead nowhere; com5 -> $(readlink "$WINEPREFIX/dosdevices/com5" || echo none)"
}

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

make_prefix
run_exe protocol 120 "$build/tests/protocol/test_protocol.exe" --gtest_brief=1
run_exe controller 300 "$build/tests/controller/test_controller.exe" --gtest_brief=1

echo "wine-tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
