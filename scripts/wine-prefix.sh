# Sourced by wine-tests.sh and wine-panel.sh: a fresh Wine prefix in which only COM5 leads
# somewhere. Wine maps COMn to whatever $WINEPREFIX/dosdevices/comn links to, and on start-up
# it links every serial device it finds (this machine's real UART among them) to a COM
# number. So COM1..COM256 are pinned in the registry to paths that do not exist, except COM5,
# which names the port folder's COM5 entry of a varnel-module; the links are checked before
# anything runs. The caller sets WINEPREFIX and defines note().

# wine_check_ports PORTS NOWHERE: the only link allowed to lead somewhere is
# com5 -> PORTS/COM5; every other one must lead to a path under NOWHERE, which never exists.
wine_check_ports() {
    local ports=$1 nowhere=$2 link target n
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

# wine_multi_sz STRING...: the strings as a REG_MULTI_SZ value's data in REGEDIT4 text
# (hex(7), ANSI bytes, each string and the list ending in a zero byte).
wine_multi_sz() {
    local string
    printf 'hex(7):'
    for string in "$@"; do
        printf '%s' "$string" | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//'
        printf '00,'
    done
    printf '00'
}

# wine_make_prefix PORTS NOWHERE [REGISTRY LINES]: boots the prefix, pins the ports, adds the
# caller's own registry lines (REGEDIT4 text), and starts a persistent server.
wine_make_prefix() {
    local ports=$1 nowhere=$2 extra=${3:-} reg="$WINEPREFIX.reg" n link
    mkdir -p "$ports"
    timeout 180 wineboot -i >/dev/null 2>&1
    timeout 60 wineserver -w
    {
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
        for n in $(seq 1 256); do
            if [ "$n" = 5 ]; then
                printf '"COM5"="%s/COM5"\n' "$ports"
            else
                printf '"COM%d"="%s/COM%d"\n' "$n" "$nowhere" "$n"
            fi
        done
        printf '%s\n' "$extra"
    } >"$reg"
    timeout 60 wine regedit /S "Z:${reg//\//\\}"
    timeout 60 wineserver -w
    # A persistent server: Wine links the ports once, as it starts, from the registry above;
    # the links are then re-pointed anyway (a found device still takes a number past those
    # pinned) and stay so for the whole run.
    rm -f "$WINEPREFIX"/dosdevices/com*
    wineserver -p >/dev/null 2>&1
    timeout 60 wine cmd /c exit
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [ -L "$link" ] || continue
        n=${link##*/com}
        [ "$n" = 5 ] || ln -sfn "$nowhere/COM$n" "$link"
    done
    wine_check_ports "$ports" "$nowhere" || return 1
    note "prefix ready: com5 -> $(readlink "$WINEPREFIX/dosdevices/com5" || echo none)," \
        "$(find "$WINEPREFIX/dosdevices" -name 'com*' -lname "$nowhere/*" | wc -l) others lead nowhere"
}
