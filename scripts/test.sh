#!/usr/bin/env bash
# Builds Varnel and runs every test: the plain build, the same tests under AddressSanitizer +
# UndefinedBehaviorSanitizer, the Qt-free tests under ThreadSanitizer, bounded fuzz runs of
# the reply framer, the control socket's parser and the SCPI engine, a short smoke run of the
# benchmarks, the checks of the Debian package and the desktop metadata, the Windows build's
# tests under Wine, and the Win32 panel's end-to-end scenario under Wine and Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test

passed=0
failed=0
# The tests' UUCP lock files go to a folder of their own, never the machine's /run/lock.
VARNEL_LOCK_DIR=$(mktemp -d /tmp/varnel-locks.XXXXXX)
export VARNEL_LOCK_DIR
trap 'rm -rf "$VARNEL_LOCK_DIR"' EXIT
run_ctest() {
    local dir=$1 log
    shift
    log=$(mktemp)
    local rc=0
    (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 "$@") 2>&1 \
        | tee "$log" || rc=$?
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [ -n "$line" ]; then
        local total bad
        total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
        bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    rm -f "$log"
}

echo "== plain build"
scripts/build.sh release
run_ctest build/release

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build/asan

echo "== ThreadSanitizer (Qt-free code)"
scripts/build.sh tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build/tsan

# One passed or failed for a command that succeeds or not.
count() {
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}

# A bounded libFuzzer run of `target` with its options: seeded, so every run is the same.
fuzz() {
    local target=$1
    shift
    scripts/build.sh fuzz "$target"
    count eval "build/fuzz/fuzz/$target -seed=1 $* 2>&1 | tail -n 3"
}

echo "== fuzzing the reply framer"
fuzz fuzz_reply_framer -runs=300000 -max_len=256
echo "== fuzzing the control socket's request parser"
fuzz fuzz_control_request -runs=200000 -max_len=5000
echo "== fuzzing the SCPI engine"
fuzz fuzz_scpi_engine -runs=200000 -max_len=9000
echo "== fuzzing varnel-ctl's reading of the panel's answers"
fuzz fuzz_panel_answer -runs=100000 -max_len=5000
echo "== fuzzing the VXI-11 codec and instrument core"
fuzz fuzz_vxi11 -runs=100000 -max_len=5000
echo "== fuzzing the web door's request reader"
fuzz fuzz_http -runs=100000 -max_len=12000

echo "== benchmark smoke runs"
count build/release/bench/bench_protocol --benchmark_min_time=0.01 >/dev/null
count build/release/bench/bench_panel --smoke
# The server's VXI-11 door takes port 111 (or registers with a running rpcbind): as root, in a
# loopback-only network of its own, so the machine's own port 111 is never touched.
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
    count unshare --net sh -c 'ip link set lo up && exec "$0" --smoke' build/release/bench/bench_ctl
else
    count build/release/bench/bench_ctl --smoke
fi

echo "== package: desktop entry, AppStream metadata, lintian, install test"
scripts/build.sh package
log=$(mktemp)
rc=0
scripts/check-package.sh 2>&1 | tee "$log" || rc=$?
passed=$((passed + $(grep -c '^ok ' "$log" || true)))
failed=$((failed + $(grep -c '^FAIL ' "$log" || true)))
if [ "$rc" -ne 0 ] && ! grep -q '^FAIL ' "$log"; then
    failed=$((failed + 1))
fi
rm -f "$log"

echo "== Windows build under Wine"
scripts/build.sh windows
wine_log=$(mktemp)
wine_rc=0
scripts/wine-tests.sh build/windows 2>&1 | tee "$wine_log" || wine_rc=$?
wine_line=$(grep -E '^wine-tests: [0-9]+ passed, [0-9]+ failed' "$wine_log" | tail -n 1 || true)
if [ -n "$wine_line" ]; then
    passed=$((passed + $(sed -E 's/^wine-tests: ([0-9]+) passed.*/\1/' <<<"$wine_line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$wine_line")))
elif [ "$wine_rc" -ne 0 ]; then
    failed=$((failed + 1))
fi
rm -f "$wine_log"

echo "== Win32 panel end to end under Wine and Xvfb"
count scripts/wine-panel.sh test build/windows

echo
echo "all: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
