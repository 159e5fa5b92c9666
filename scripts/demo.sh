#!/usr/bin/env bash
# Runs the panel beside the simulated laser module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
# What the demo runs, and what those need; the tests, the bench and the other programs are
# built by scripts/test.sh.
scripts/build.sh release varnel varnel-module varnel-tour

release=build/release
module=$release/tools/varnel-module
panel=$release/panel-qt/varnel
tour=$release/testkit/tour/varnel-tour
for program in "$module" "$panel" "$tour"; do
    [ -x "$program" ] || { echo "demo: $program was not built" >&2; exit 1; }
done

# What the demo leaves behind (wire log, screenshot) goes to one folder of the build, replaced
# on every run; the port folder is private to this run, so the panel lists our module and
# only the ports of the machine itself, and the script itself never opens any of those.
out=$release/demo
mkdir -p "$out"
rm -f "$out/wire.log" "$out/panel.png"
ports=$(mktemp -d /tmp/varnel-demo-ports.XXXXXX)
export VARNEL_PORTS=$ports

module_pid=
panel_pid=
cleanup() {
    trap - EXIT INT TERM
    for pid in $panel_pid $module_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $panel_pid $module_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$ports"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The module lives until the script ends it; stdin from /dev/null keeps it from reading the
# terminal. It picks the lowest free COM number and says which on its first line, which must
# reach the file at once (line-buffered).
stdbuf -oL "$module" --log --channel 45 --power 12.34 --output on </dev/null >"$out/wire.log" 2>&1 &
module_pid=$!

com=
for _ in $(seq 1 100); do
    com=$(sed -n 's/^varnel-module: COM\([0-9]\+\) -> .*/\1/p' "$out/wire.log" | head -n 1)
    [ -n "$com" ] && break
    kill -0 "$module_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$com" ]; then
    echo "demo: the module simulator did not start:" >&2
    cat "$out/wire.log" >&2
    exit 1
fi
echo "Module simulator on COM$com ($(readlink "$ports/COM$com")), wire log in $out/wire.log"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    echo "Starting the panel: choose COM$com in the port list and press OpenPort."
    echo "Close the panel window (or press Ctrl+C here) to end both."
    "$panel" &
    panel_pid=$!
    # Whichever ends first ends the other (cleanup).
    wait -n "$panel_pid" "$module_pid" || true
    exit 0
fi

echo "No display: running the panel headless through a scripted tour."
echo
rc=0
QT_QPA_PLATFORM=offscreen "$tour" --com "$com" --screenshot "$out/panel.png" || rc=$?
echo
echo "Wire log of the module (rx: from the panel, tx: to the panel):"
sed '1d' "$out/wire.log"
echo
if [ "$rc" -eq 0 ]; then
    echo "Screenshot of the synchronised panel: $(realpath "$out/panel.png")"
else
    echo "demo: the tour did not complete (exit code $rc)" >&2
fi
exit "$rc"
