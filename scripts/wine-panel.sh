#!/usr/bin/env bash
# The Win32 panel under Wine and Xvfb, against varnel-module on a pty that the prefix maps to
# COM5.
#   scripts/wine-panel.sh test [windows build dir]     unit tests of the Win32 controls, then the
#                                                      end-to-end scenario (tests/panel-win32)
#   scripts/wine-panel.sh screenshot [png file]        the synchronised panel as a picture,
#                                                      default build/windows/panel-win32.png;
#                                                      the README shows resources/screenshots/
#                                                      panel-win32.png, written so
# Needs `scripts/build.sh windows` and `scripts/build.sh release varnel-module` first.
#
# Each run makes a fresh prefix of its own and removes it afterwards. Wine maps COMn to
# whatever $WINEPREFIX/dosdevices/comn links to, and on start-up it links every serial device
# it finds (this machine's real UART among them). So COM1..COM256 are pinned in the registry
# to paths that do not exist, except COM5, which names the port folder's COM5 entry that a
# varnel-module publishes; the links are checked before every program runs. Cambria is
# replaced by Caladea's glyphs at Cambria's line height, so the dialog units come out as on
# Windows (see dialog_font).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-test}
case "$mode" in
    test) build=${2:-build/windows} ;;
    screenshot) build=build/windows; shot=${2:-build/windows/panel-win32.png} ;;
    *) echo "usage: $0 test [build dir] | screenshot [png file]" >&2; exit 2 ;;
esac
module_exe=build/release/tools/varnel-module
marlett=/usr/share/wine/fonts/marlett.ttf
for tool in wine wineboot wineserver winepath xvfb-run; do
    command -v "$tool" >/dev/null || { echo "wine-panel: $tool is missing" >&2; exit 1; }
done
for file in "$build/panel-win32/varnel.exe" "$build/tests/panel-win32/panel_driver.exe" \
    "$module_exe"; do
    [ -f "$file" ] || { echo "wine-panel: $file is not built" >&2; exit 1; }
done
[ -f "$marlett" ] || { echo "wine-panel: $marlett is missing: scripts/deps.sh test" >&2; exit 1; }

# A display of our own: the panel is a window.
if [ -z "${VARNEL_WINE_PANEL_XVFB:-}" ]; then
    VARNEL_WINE_PANEL_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

work=$(mktemp -d /tmp/varnel-wine-panel.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs.
export WINEDLLOVERRIDES="mscoree,mshtml="
export VARNEL_PORTS=$work/ports
nowhere=$work/no-such-port
signals=$work/signals
module_pid=
driver_pid=

note() { echo "wine-panel: $*"; }

stop_module() {
    if [ -n "$module_pid" ]; then
        kill -CONT "$module_pid" 2>/dev/null || true
        kill "$module_pid" 2>/dev/null || true
        wait "$module_pid" 2>/dev/null || true
        module_pid=
    fi
}

cleanup() {
    stop_module
    if [ -n "$driver_pid" ]; then
        kill "$driver_pid" 2>/dev/null || true
        wait "$driver_pid" 2>/dev/null || true
    fi
    if [ -d "$WINEPREFIX" ]; then
        timeout 20 wineserver -k >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

. scripts/wine-prefix.sh
check_ports() { wine_check_ports "$VARNEL_PORTS" "$nowhere"; }
# dialog_font SOURCE TARGET: Caladea as the face "Varnel Dialog", its Windows ascent and
# descent set to its own hhea ones (900/250 per em, a 1.15 em line, near Cambria's 1.17 em).
# Wine takes a face's height from the Windows ones, which Debian's Caladea sets to 1050/250:
# with Caladea itself every vertical dialog unit comes out from 25 pixels, where Cambria gives 22.
dialog_font() {
    perl - "$1" "$2" <<'PERL'
use strict;
use warnings;
my ($source, $target) = @ARGV;
open(my $in, '<:raw', $source) or die "$source: $!\n";
my $data = do { local $/; <$in> };
my %table;
for my $i (0 .. unpack('n', substr($data, 4, 2)) - 1) {
    my ($tag, undef, $offset, $length) = unpack('a4 N3', substr($data, 12 + 16 * $i, 16));
    $table{$tag} = substr($data, $offset, $length);
}
delete $table{DSIG};    # signs the original bytes
my ($ascent, $descent) = unpack('s> s>', substr($table{hhea}, 4, 4));
substr($table{'OS/2'}, 74, 4) = pack('n2', $ascent, -$descent);
# Renamed (family, unique, full and PostScript names), so it is not taken for Caladea.
sub text { my ($text, $wide) = @_; $wide ? join('', map { "\0$_" } split //, $text) : $text }
my ($form, $count, $strings) = unpack('n3', $table{name});
die "$source: name table format $form\n" if $form != 0;
my ($heads, $texts) = ('', '');
for my $i (0 .. $count - 1) {
    my ($platform, $encoding, $language, $id, $length, $offset) =
        unpack('n6', substr($table{name}, 6 + 12 * $i, 12));
    my $text = substr($table{name}, $strings + $offset, $length);
    if ($id == 1 || $id == 3 || $id == 4 || $id == 6) {
        my ($old, $new) = map { text($_, $platform != 1) }
            'Caladea', $id == 1 || $id == 4 ? 'Varnel Dialog' : 'VarnelDialog';
        $text =~ s/\Q$old\E/$new/g;
    }
    $heads .= pack('n6', $platform, $encoding, $language, $id, length $text, length $texts);
    $texts .= $text;
}
$table{name} = pack('n3', 0, $count, 6 + 12 * $count) . $heads . $texts;

sub checksum {
    my $sum = 0;
    $sum = ($sum + $_) % 2**32 for unpack('N*', $_[0] . "\0" x (-length($_[0]) % 4));
    return $sum;
}
substr($table{head}, 8, 4) = pack('N', 0);
my @tags = sort keys %table;
my $level = 0;
$level++ while 2**($level + 1) <= @tags;
my $font = pack('N n4', 0x10000, scalar @tags, 16 << $level, $level, 16 * @tags - (16 << $level));
my ($body, $start, $head) = ('', 12 + 16 * @tags, 0);
for my $tag (@tags) {
    $head = $start + length $body if $tag eq 'head';
    $font .= pack('a4 N3', $tag, checksum($table{$tag}), $start + length $body, length $table{$tag});
    $body .= $table{$tag} . "\0" x (-length($table{$tag}) % 4);
}
$font .= $body;
substr($font, $head + 8, 4) = pack('N', (0xB1B0AFBA - checksum($font)) % 2**32);
open(my $out, '>:raw', $target) or die "$target: $!\n";
print $out $font;
close $out or die "$target: $!\n";
PERL
}

make_prefix() {
    mkdir -p "$signals"
    # Cambria replaced by Caladea's widths at Cambria's line height (see dialog_font), so the
    # dialog units come out as on Windows; a font link from that face (Wine looks links up by
    # the face's full name) to fonts-droid-fallback, which has the step buttons' arrows that
    # Caladea lacks; and Wine draws the title bar itself, since Xvfb has no window manager.
    wine_make_prefix "$VARNEL_PORTS" "$nowhere" "$(printf '\n%s\n%s\n\n%s\n%s\n\n%s\n%s\n' \
        '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' '"Cambria"="Varnel Dialog"' \
        '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]' \
        "\"Varnel Dialog Regular\"=$(wine_multi_sz 'DroidSansFallbackFull.ttf,Droid Sans Fallback')" \
        '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"')"
    dialog_font "$(fc-match -f '%{file}' 'Caladea:style=Regular')" \
        "$WINEPREFIX/drive_c/windows/Fonts/varnel-dialog.ttf"
    # The title bar's buttons are glyphs of Marlett (fonts-wine); without it Wine draws the
    # close box as the letter "r".
    cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
}

winpath() { winepath -w "$1" 2>/dev/null; }

# start_module LOG ARGS...: varnel-module as COM5 with its wire log in LOG; waits until ready.
start_module() {
    local log=$1
    shift
    # Ended by stop_module (a pulled adapter), or by cleanup when the script ends.
    "$module_exe" --com 5 --log "$@" >"$log" 2>"$log.err" </dev/null &
    module_pid=$!
    local deadline=$((SECONDS + 30))
    until grep -q '^varnel-module: COM5 -> ' "$log"; do
        if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$module_pid" 2>/dev/null; then
            note "varnel-module did not come up: $(cat "$log.err")"
            return 1
        fi
        sleep 0.05
    done
}

# wait_signal NAME SECONDS: until the driver creates signals/NAME; fails when the driver ends.
wait_signal() {
    local deadline=$((SECONDS + $2))
    until [ -e "$signals/$1" ]; do
        if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$driver_pid" 2>/dev/null; then
            return 1
        fi
        sleep 0.05
    done
}

run_unit_tests() {
    check_ports
    note "running test_win32_controls"
    timeout --kill-after=5 120 wine "$build/tests/panel-win32/test_win32_controls.exe" \
        --gtest_brief=1
}

# follow_driver LOG2: does what the driver's signal files ask, in the scenario's order.
follow_driver() {
    # The module stopped while the panel toggles the output: no reply can come meanwhile.
    wait_signal freeze 120 || return 0
    kill -STOP "$module_pid"
    touch "$signals/frozen"
    wait_signal thaw 60 || return 0
    kill -CONT "$module_pid"
    # Pulled, and plugged in again as a module that streams its state, so bytes keep
    # arriving until the panel exits.
    wait_signal unplug 120 || return 0
    stop_module
    wait_signal replug 120 || return 0
    start_module "$1" --channel 45 --power 12.34 --output on --stream 30
    touch "$signals/replugged"
}

run_scenario() {
    local exe log1=$work/module1.log log2=$work/module2.log rc=0
    exe=$(winpath "$build/panel-win32/varnel.exe")
    start_module "$log1" --channel 45 --power 12.34 --output on
    : >"$log2"
    check_ports
    note "running the end-to-end scenario"
    timeout --kill-after=5 300 wine "$build/tests/panel-win32/panel_driver.exe" scenario \
        "$exe" "$(winpath "$log1")" "$(winpath "$log2")" "$(winpath "$signals")" &
    driver_pid=$!
    follow_driver "$log2"
    wait "$driver_pid" || rc=$?
    driver_pid=
    stop_module
    if [ "$rc" -ne 0 ]; then
        note "scenario failed (exit $rc); wire logs:"
        sed 's/^/  module 1: /' "$log1"
        tail -n 40 "$log2" | sed 's/^/  module 2: /'
    fi
    return "$rc"
}

take_screenshot() {
    local exe geometry
    exe=$(winpath "$build/panel-win32/varnel.exe")
    start_module "$work/module.log" --channel 45 --power 12.34 --output on
    check_ports
    wine "$build/tests/panel-win32/panel_driver.exe" pose "$exe" "$(winpath "$signals")" &
    driver_pid=$!
    wait_signal posed 120 || { note "the panel did not synchronise"; return 1; }
    geometry=$(tr -d '\r\n' <"$signals/posed")
    mkdir -p "$(dirname "$shot")"
    import -window root -crop "$geometry" +repage "$shot"
    touch "$signals/shot"
    wait "$driver_pid"
    driver_pid=
    note "wrote $shot ($geometry)"
}

make_prefix
if [ "$mode" = screenshot ]; then
    take_screenshot
    exit
fi
failed=0
run_unit_tests || failed=$((failed + 1))
run_scenario || failed=$((failed + 1))
if [ "$failed" -eq 0 ]; then
    note "all passed"
else
    note "$failed of 2 failed"
fi
[ "$failed" -eq 0 ]
