# Test bed for Tavrin: a throw-away Wine prefix, a private Xvfb, one
# persistent wineserver and socat null-modem cables for the serial ports.
# Sourced by scripts/test, scripts/run and scripts/bench; tb_stop undoes
# everything tb_start started and is safe to call twice.
#
# Port map (Wine's HKLM\Software\Wine\Ports):
#   COM1, COM2, COM3  -> one end of a null-modem pair each
#   COM11, COM12, COM13 -> the partner ends tests write to
#   COM4 and every other COM number up to 255 -> a path that does not
#   exist, so that opening them fails as for an absent device, and Wine
#   never maps the machine's own UART (/dev/ttyS0 here) to any of them.
#   (An empty value would not do: Wine then still creates a driverless
#   device that CreateFile opens.) Wine makes such a device for a missing
#   path too, so COM4's link is deleted from the running wineserver with
#   the hide_port tool built with the tests ($TB_TOOLS_DIR).
# Wine also hands every /dev/ttyS* it finds to the first COM number the
# map leaves free (and Wine 8 takes no map entry for COM256 at all). So
# before Wine first runs, tb_start fills dosdevices/ with an empty folder
# for every COM number it does not map: Wine cannot put its link where a
# folder stands, gives up on that device, and the machine's UART is never
# reachable under any COM name.

TB_ROOT=${TB_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
TB_DIR=${TB_DIR:-$TB_ROOT/build/testbed}
TB_PIDS=()

tb_log() { printf 'testbed: %s\n' "$*" >&2; }

# Picks the Windows architecture the tests can run. The shipped program is
# 32-bit; where the kernel cannot execute 32-bit Linux binaries (some
# sandboxes), Wine's 32-bit half cannot start, and the same sources are
# built and tested as a 64-bit program instead.
tb_pick_arch() {
    if [ -n "${TAVRIN_TEST_ARCH:-}" ]; then
        echo "$TAVRIN_TEST_ARCH"
    elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo i686
    else
        echo x86_64
    fi
}

tb_env() {
    export TB_ARCH=${TB_ARCH:-$(tb_pick_arch)}
    export WINEPREFIX=$TB_DIR/prefix
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    # Code page 1251, as on the program's home systems.
    export LANG=ru_RU.UTF-8
    if [ "$TB_ARCH" = i686 ]; then
        export WINE=/usr/lib/wine/wine
    else
        export WINE=/usr/lib/wine/wine64
    fi
    export WINESERVER=/usr/lib/wine/wineserver
    export TB_DIR
}

tb_start_xvfb() {
    # Xvfb picks a free display itself and writes its number to fd 3, so
    # that test beds started side by side never collide.
    local fifo=$TB_DIR/xvfb.display
    rm -f "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >"$TB_DIR/xvfb.log" 2>&1 &
    TB_PIDS+=($!)
    local i n=
    for i in $(seq 1 100); do
        n=$(tr -dc 0-9 <"$fifo" 2>/dev/null || true)
        [ -n "$n" ] && [ -e "/tmp/.X11-unix/X$n" ] && break
        n=
        sleep 0.1
    done
    [ -n "$n" ] || { tb_log "Xvfb did not start (see $TB_DIR/xvfb.log)"; return 1; }
    export DISPLAY=":$n"
}

# A null-modem pair. Each pty end is also held open by a sleeping process
# so that socat never sees the hang-up a pty master gets when its last
# user closes it (socat would end, and the cable with it).
tb_cable() {
    local a=$1 b=$2
    rm -f "$a" "$b"
    socat "pty,raw,echo=0,link=$a" "pty,raw,echo=0,link=$b" 2>>"$TB_DIR/socat.log" &
    TB_PIDS+=($!)
    local i
    for i in $(seq 1 50); do
        [ -e "$a" ] && [ -e "$b" ] && break
        sleep 0.1
    done
    [ -e "$a" ] && [ -e "$b" ] || { tb_log "socat cable $a did not come up"; return 1; }
    sleep 2147483647 <>"$a" &
    TB_PIDS+=($!)
    sleep 2147483647 <>"$b" &
    TB_PIDS+=($!)
}

tb_write_ports() {
    local reg=$TB_DIR/ports.reg n val
    {
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
        for n in $(seq 1 255); do
            case $n in
                1|2|3) val=$TB_DIR/com$n ;;
                11|12|13) val=$TB_DIR/com$((n - 10))-partner ;;
                *) val=$TB_DIR/absent-com$n ;;
            esac
            printf '"COM%d"="%s"\n' "$n" "$val"
        done
        # Desktop: one virtual desktop with a taskbar and tray for every
        # program of the prefix.
        printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"Desktop"="Default"\n'
        printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"Default"="1024x768"\n'
    } >"$reg"
    "$WINE" regedit "$(winepath_of "$reg")" >/dev/null 2>&1
}

winepath_of() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

TB_MAPPED_PORTS="1 2 3 4 11 12 13"

# Guard folders: see the header. Called before Wine first runs on the
# prefix, and again before every restart that re-reads the port map.
tb_guard_ports() {
    local dd=$WINEPREFIX/dosdevices n
    mkdir -p "$dd"
    for n in $(seq 1 256); do
        case " $TB_MAPPED_PORTS " in
            *" $n "*) [ -d "$dd/com$n" ] && rmdir "$dd/com$n" ;;
            *) [ -L "$dd/com$n" ] && rm -f "$dd/com$n"; mkdir -p "$dd/com$n" ;;
        esac
    done
    return 0
}

tb_check_ports() {
    local dd=$WINEPREFIX/dosdevices
    if ls -l "$dd" | grep -q '/dev/ttyS'; then
        tb_log "refusing to go on: a COM port is mapped to the machine's UART:"
        ls -l "$dd" >&2
        return 1
    fi
    local n
    for n in 1 2 3 11 12 13; do
        [ -L "$dd/com$n" ] || { tb_log "com$n is not mapped"; ls -l "$dd" >&2; return 1; }
    done
    [ ! -e "$dd/com4" ] || { tb_log "com4 should be absent"; return 1; }
}

# Debian's Wine 8 looks for its own fonts in /usr/share/fonts instead of
# /usr/share/wine/fonts, so the caption buttons, drawn with Marlett, showed
# letters ("r" for the close box). A copy in the prefix's Fonts folder is
# found. Only Marlett: the dialogs keep the fonts they have always had here.
tb_add_wine_fonts() {
    local fonts=$WINEPREFIX/drive_c/windows/Fonts
    if [ -d "$fonts" ] && [ ! -e "$fonts/marlett.ttf" ] && [ -f /usr/share/wine/fonts/marlett.ttf ]; then
        cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
    fi
}

tb_start() {
    tb_env
    mkdir -p "$TB_DIR"
    trap tb_stop EXIT
    trap 'tb_stop; exit 130' INT TERM
    tb_start_xvfb
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        tb_log "creating Wine prefix (once)"
        # Guard every COM number, mapped ones included: the map does not
        # exist yet. Wine makes the drive links only when it creates
        # dosdevices/ itself, so they are made here as Wine would.
        mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/drive_c"
        ln -sfn ../drive_c "$WINEPREFIX/dosdevices/c:"
        ln -sfn / "$WINEPREFIX/dosdevices/z:"
        TB_MAPPED_PORTS= tb_guard_ports
        "$WINE" wineboot -i >/dev/null 2>&1 || true
        "$WINESERVER" -w
    fi
    tb_add_wine_fonts
    local n
    for n in 1 2 3; do
        tb_cable "$TB_DIR/com$n" "$TB_DIR/com$n-partner"
    done
    "$WINESERVER" -p
    tb_write_ports
    tb_guard_ports
    # The port map is applied when the wineserver restarts and the first
    # program after it starts Wine's services.
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    "$WINESERVER" -p
    "$WINE" cmd /c exit >/dev/null 2>&1 || true
    tb_check_ports
    if [ -n "${TB_TOOLS_DIR:-}" ] && [ -f "$TB_TOOLS_DIR/hide_port.exe" ]; then
        "$WINE" "$TB_TOOLS_DIR/hide_port.exe" COM4 || { tb_log "could not make COM4 absent"; return 1; }
    fi
}

tb_stop() {
    trap - EXIT INT TERM
    if [ -n "${WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ]; then
        "$WINESERVER" -k 2>/dev/null || true
    fi
    local p
    for p in "${TB_PIDS[@]}"; do
        kill "$p" 2>/dev/null || true
    done
    for p in "${TB_PIDS[@]}"; do
        wait "$p" 2>/dev/null || true
    done
    TB_PIDS=()
}
