#!/usr/bin/env bash
# Runs the Windows test programs of a `scripts/build.sh windows` build under Wine, in a fresh
# prefix of their own that is removed afterwards, then varnel-ctl.exe as a user runs it.
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
# As root, the run takes a network of its own (loopback only): Wine's sockets belong to its
# wineserver, so the whole run goes in, and serve may take the portmapper's port 111 there.
if [ "$(id -u)" = 0 ] && [ -z "${VARNEL_WINE_NETNS:-}" ] && unshare --net true 2>/dev/null; then
    exec env VARNEL_WINE_NETNS=1 unshare --net bash -c 'ip link set lo up && exec bash "$@"' \
        bash "$PWD/scripts/wine-tests.sh" "$@"
fi
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
ctl_pid=

cleanup() {
    if [ -n "$ctl_pid" ]; then
        kill -KILL "$ctl_pid" 2>/dev/null || true
    fi
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

# varnel-ctl.exe against the module on COM5. Each case is one line: a description and a shell
# condition on the run's output ($out, Windows line ends removed) and the module's wire log.
ctl_exe=$build/tools/varnel-ctl.exe
out=$work/ctl.out

# ctl EXIT ARGS...: one run of varnel-ctl.exe; true when it ended with EXIT.
ctl() {
    local want=$1 rc=0
    shift
    check_ports || exit 1
    timeout --kill-after=5 60 wine "$ctl_exe" "$@" </dev/null >"$out.raw" 2>&1 || rc=$?
    tr -d '\r' <"$out.raw" >"$out"
    [ "$rc" -eq "$want" ]
}

# ctl_start ARGS...: varnel-ctl.exe left running; true once its output has a line matching
# $ctl_ready (within 20 s).
ctl_start() {
    check_ports || exit 1
    wine "$ctl_exe" "$@" </dev/null >"$out.raw" 2>&1 &
    ctl_pid=$!
    local i
    for i in $(seq 1 1000); do
        grep -q "$ctl_ready" "$out.raw" 2>/dev/null && return 0
        kill -0 "$ctl_pid" 2>/dev/null || break
        sleep 0.02
    done
    return 1
}

# ctl_interrupt EXIT: Ctrl-C (Wine hands SIGINT to the console control handler); true when
# the program then ends with EXIT within 20 s.
ctl_interrupt() {
    local i rc=0
    kill -INT "$ctl_pid" 2>/dev/null
    for i in $(seq 1 1000); do
        kill -0 "$ctl_pid" 2>/dev/null || break
        sleep 0.02
    done
    kill -KILL "$ctl_pid" 2>/dev/null || true
    wait "$ctl_pid" || rc=$?
    ctl_pid=
    tr -d '\r' <"$out.raw" >"$out"
    [ "$rc" -eq "$1" ]
}

stop_ctl() {
    if [ -n "$ctl_pid" ]; then
        ctl_interrupt 0 || true
    fi
}

sent() { awk '$2 == "rx"' "$work/module.log" | wc -l; }

# web ARGS...: one request of curl's to serve's web page at $web; status, headers and body in
# $out.
web() {
    local rc=0
    curl -sS -i --max-time 10 "$@" >"$work/web.raw" 2>&1 || rc=$?
    tr -d '\r' <"$work/web.raw" >"$out"
    return "$rc"
}

# web_state PATTERN...: true once the page's state matches every PATTERN (within 10 s); the
# first request only starts the module's read for the page.
web_state() {
    local i pattern missing
    for i in $(seq 1 50); do
        missing=1
        if web "http://$web/api/state"; then
            missing=0
            for pattern in "$@"; do
                grep -q "$pattern" "$out" || missing=1
            done
        fi
        [ "$missing" -eq 0 ] && return 0
        sleep 0.2
    done
    return 1
}

# expect DESCRIPTION CONDITION: counts the case.
expect() {
    if eval "$2"; then
        passed=$((passed + 1))
    else
        note "varnel-ctl.exe $1: failed; it said: $(head -c 800 "$out")"
        failed=$((failed + 1))
    fi
}

run_ctl() {
    if [ ! -f "$ctl_exe" ] || [ ! -x "$module_bin" ]; then
        note "varnel-ctl.exe: $ctl_exe or $module_bin not built"
        failed=$((failed + 1))
        return
    fi
    if ! start_module --channel 45 --power 12.34; then
        failed=$((failed + 1))
        stop_module
        return
    fi
    note "running varnel-ctl.exe"
    local csv=$work/sweep.csv before visa
    expect "--help tells Windows' ports" 'ctl 0 --help && grep -q "as Windows numbers its ports" "$out"'
    expect "ports lists COM5 alone" 'ctl 0 ports && [ "$(cut -d " " -f 1 "$out")" = COM5 ]'
    expect "get reads the module" \
        'ctl 0 COM5 get --json && grep -q "\"channel\":45,.*\"power_dbm\":12.34,\"output\":false}" "$out"'
    expect "set power 8.2 sends 820" \
        'ctl 0 COM5 set power 8.2 && grep -q " rx  00 01 02 03 34 3A  set power 8.20 dBm$" "$work/module.log"'
    before=$(sent)
    expect "a refused value sends nothing" \
        'ctl 64 COM5 set power 14 && grep -q "outside 7.00-13.00" "$out" && [ "$(sent)" = "$before" ]'
    expect "a sweep goes to CSV" \
        'ctl 0 COM5 sweep 1-3 --dwell 0 --csv "Z:${csv//\//\\}" &&
         [ "$(tr -d "\r" <"$csv" | cut -d , -f 2,5,9 | paste -sd " ")" = \
           "event,channel,power_dbm sweep,1,8.20 sweep,2,8.20 sweep,3,8.20" ]'
    expect "a missing COM number is exit 2" \
        'ctl 2 COM7 get && grep -q "^varnel-ctl: COM7 cannot be opened: the port is not there" "$out"'
    ctl_ready="^step 1/"
    expect "Ctrl-C ends a sweep after its step" \
        'ctl_start COM5 sweep 1-89 --dwell 0.5 && ctl_interrupt 130 &&
         grep -q "^varnel-ctl: sweep stopped after [0-9]* of 89 steps" "$out"'
    stop_ctl
    # serve from the Linux side, as a lab's Python and a browser reach a Windows PC: the raw
    # socket, the web page on a free port, and VXI-11 found through the server's own portmapper
    # on 111 where the run has a network of its own (port 111 of this machine is not touched).
    # The web page's line comes after the serving line.
    ctl_ready="^varnel-ctl: web page on http://127\.0\.0\.1:[0-9]*/"
    local vxi=(--no-vxi11) instr="" also=""
    if [ -n "${VARNEL_WINE_NETNS:-}" ]; then
        vxi=()
        also=" (and as TCPIP::host::INSTR)"
        instr="
inst = pyvisa.ResourceManager('@py').open_resource('TCPIP::127.0.0.1::INSTR', timeout=10000)
print(inst.query('*IDN?;:CHAN?'), end='')"
    else
        note "serve over VXI-11 not checked: no network namespace here (needs root)"
    fi
    web=
    if ctl_start serve COM5 --listen 127.0.0.1:0 --http 0 "${vxi[@]}"; then
        web=$(tr -d '\r' <"$out.raw" | sed -n 's|^varnel-ctl: web page on http://\(.*\)/$|\1|p')
        visa=$(timeout 60 /usr/bin/python3 -c "
import pyvisa
inst = pyvisa.ResourceManager('@py').open_resource(
    'TCPIP0::127.0.0.1::$(sed -n 's/.*SCPI instrument on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out.raw")::SOCKET',
    read_termination='\n', timeout=10000)
print(inst.query('*IDN?'))
inst.write('SOUR:CHAN 12;:POW 9.5;:OUTP ON')
inst.write('POW 13.5')
print(inst.query('CHAN?;POW?;:OUTP?;:SYST:ERR?'))$instr
" 2>&1) || true
    fi
    expect "serve's web page identifies the module and shows its state" \
        'grep -q "^varnel-ctl: serving COM5 (directly, holding the port itself" "$out.raw" &&
         web "http://$web/lxi/identification" && grep -qi "^content-type: text/xml" "$out" &&
         grep -q "<Manufacturer>Varnel</Manufacturer>" "$out" &&
         web_state "\"module\":true" "\"channel\":{[^}]*\"number\":12,"'
    expect "the page's setting reaches the wire; a foreign Host is refused (421), nothing sent" \
        'web "http://$web/api/settings" -H "Content-Type: application/json" \
             -H "Origin: http://$web" --data "{\"channel\": 46}" && grep -q "^HTTP/1.1 200 " "$out" &&
         grep -q " rx  .*  set channel 46$" "$work/module.log" &&
         web "http://$web/api/settings" -H "Host: evil.example" \
             -H "Content-Type: application/json" --data "{\"channel\": 47}" &&
         grep -q "^HTTP/1.1 421 " "$out" && ! grep -q "channel 47" "$work/module.log"'
    expect "serve answers PyVISA$also and ends on Ctrl-C" \
        '[[ $visa == "Varnel,Laser module,0,"*$'"'"'\n12;9.50;1;-222,"Data out of range"'"'"'* ]] &&
         { [ -z "$also" ] || [[ $visa == *$'"'"'\nVarnel,Laser module,0,'"'"'*";12" ]]; } &&
         ctl_interrupt 0 && ! grep -q "set power 13.50" "$work/module.log" || { echo "$visa" >>"$out"; false; }'
    stop_ctl
    stop_module
}

make_prefix
run_ctl
run_exe protocol 120 "$build/tests/protocol/test_protocol.exe" --gtest_brief=1
run_exe controller 300 "$build/tests/controller/test_controller.exe" --gtest_brief=1
run_link "link" 120 -- --gtest_filter='WineLink.*'
run_link "link unplugged" 60 -- --gtest_filter='WineUnplug.*'
run_link "link at exit" 30 -- --exit-with-port-open

echo "wine-tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
