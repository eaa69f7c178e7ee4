# Test bed for Tavrin: a throw-away Wine prefix, a private Xvfb, one
# persistent wineserver, socat null-modem cables for the serial ports, and
# Wine's 32-bit half started (natively, or under emulation where the kernel
# cannot run 32-bit programs; see tb_enable_i686). Scripts lay it with
# tb_bed; tb_stop undoes everything tb_start started, and may run twice.
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
#   the hide_port tool built with the tests.
# Wine also hands every /dev/ttyS* it finds to the first COM number the
# map leaves free (and Wine 8 takes no map entry for COM256 at all). So
# before Wine first runs, tb_start fills dosdevices/ with an empty folder
# for every COM number it does not map: Wine cannot put its link where a
# folder stands, gives up on that device, and the machine's UART is never
# reachable under any COM name.

TB_ROOT=${TB_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
TB_PIDS=()

tb_log() { printf 'testbed: %s\n' "$*" >&2; }

# Runs "$@" every 0.1 s until it succeeds, for $1 seconds at most; then
# fails, naming what it waited for ($2).
tb_until() {
    local bound=$1 what=$2 end=$((SECONDS + $1))
    shift 2
    until "$@"; do
        [ $SECONDS -lt $end ] || { tb_log "gave up after $bound s waiting for $what"; return 1; }
        sleep 0.1
    done
}

tb_env() {
    # The test programs are 64-bit, which every Wine here runs natively
    # (TAVRIN_TEST_ARCH=i686 builds them 32-bit instead); the shipped
    # 32-bit program is run by the 32-bit lane (tb_enable_i686).
    export TB_ARCH=${TB_ARCH:-${TAVRIN_TEST_ARCH:-x86_64}}
    export WINEPREFIX=$TB_DIR/prefix
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export LANG=ru_RU.UTF-8   # code page 1251, as on the program's home systems
    export WINE=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver TB_DIR
    [ "$TB_ARCH" != i686 ] || WINE=/usr/lib/wine/wine
}

# ---- Wine's 32-bit half ----
# Where the kernel runs 32-bit Linux programs, Wine's 32-bit loader simply
# starts. Some machines (sandboxes, containers) refuse them ("Exec format
# error"), and then the loader can still run under user-mode emulation:
# qemu-i386-static, registered with binfmt_misc for i386 ELF files with
# flag F (the kernel opens the emulator once, at registration). Every
# 32-bit process Wine starts then runs emulated; the wineserver and the
# 64-bit programs stay native. Each emulated process translates its code
# afresh, so a start costs seconds of CPU, and times measured there mean
# little. The entry is machine-wide until reboot, so the test bed adds one
# only when it must, as root, never touches an entry it did not add, and
# removes its own in tb_stop. Entries are named after the shell that added
# them, so one left by a test bed that was killed is removed by the next.
# TAVRIN_I686_EMULATE=1 registers the emulator even where the kernel runs
# 32-bit programs itself (binfmt_misc is asked first), to try that path.
TB_BINFMT=/proc/sys/fs/binfmt_misc
TB_I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
TB_I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
TB_BINFMT_ENTRY=

tb_wine32_starts() {
    timeout 300 /usr/lib/wine/wine --version >/dev/null 2>&1
}

# An enabled binfmt_misc entry for 32-bit programs (an emulator's), if any;
# with "foreign", only one that no test bed added.
tb_i386_entry() {
    local entry
    for entry in "$TB_BINFMT"/*; do
        case ${entry##*/} in
            register|status) continue ;;
            tavrin-i386-*) [ "${1:-}" != foreign ] || continue ;;
        esac
        grep -qx 'magic 7f454c4601010100000000000000000002000300' "$entry" 2>/dev/null &&
            grep -qx enabled "$entry" 2>/dev/null && { echo "${entry##*/}"; return 0; }
    done
    return 1
}

# The emulated start, made affordable. qemu gives a 32-bit guest all of
# its 4 GiB by default. Wine's 32-bit loader, started without a preloader
# (Debian ships none), then reserves the space from 2 GiB up to the
# guest's stack near the top; qemu 7 takes the placement Wine asks for
# (MAP_FIXED_NOREPLACE) as a mere hint and answers elsewhere, so Wine
# halves the range down to 64 KiB pieces: some 65 000 refused mappings,
# a minute and more of CPU at every process start. A guest space that
# ends just above 2 GiB (all that a 32-bit program that is not
# large-address-aware uses, plus the stack) leaves next to nothing to
# try: measured, a 32-bit `cmd /c exit` took 6.7 s instead of 60-170 s.
tb_emulated() {
    TB_I686=emulated
    export QEMU_RESERVED_VA=0x81000000
}

# Sets TB_I686 to "native" or "emulated", or leaves it empty with the
# reason in TB_I686_WHY.
tb_enable_i686() {
    TB_I686= TB_I686_WHY=
    export TB_I686 TB_I686_WHY
    if [ "${TAVRIN_I686_EMULATE:-0}" != 1 ] && tb_wine32_starts; then
        # An entry for 32-bit programs, registered before us, takes them
        # even where the kernel could run them itself. Where only another
        # test bed's entry runs them, this one registers its own below.
        if [ -n "$(tb_i386_entry foreign)" ]; then tb_emulated; return 0; fi
        if [ -z "$(tb_i386_entry)" ]; then TB_I686=native; return 0; fi
    fi
    local qemu=/usr/bin/qemu-i386-static entry other no="Wine's 32-bit half does not start here, and"
    [ "$(id -u)" -eq 0 ] || { TB_I686_WHY="$no only root may register an emulator for it"; return 0; }
    [ -x "$qemu" ] || { TB_I686_WHY="$no $qemu is missing (scripts/setup-deps installs qemu-user-static)"; return 0; }
    [ -e "$TB_BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$TB_BINFMT" 2>/dev/null ||
        { TB_I686_WHY="$no binfmt_misc cannot be mounted on $TB_BINFMT"; return 0; }
    for entry in "$TB_BINFMT"/tavrin-i386-*; do
        [ ! -e "$entry" ] || kill -0 "${entry##*-}" 2>/dev/null || echo -1 >"$entry" 2>/dev/null || true
    done
    # Another test bed's entry goes when that test bed stops, perhaps
    # before this one does: each running test bed keeps an entry of its own.
    other=$(tb_i386_entry foreign) || true
    if [ -z "$other" ]; then
        TB_BINFMT_ENTRY=$TB_BINFMT/tavrin-i386-$$
        printf '%s' ":tavrin-i386-$$:M::$TB_I386_MAGIC:$TB_I386_MASK:$qemu:F" >"$TB_BINFMT/register" 2>/dev/null ||
            { TB_BINFMT_ENTRY= TB_I686_WHY="$no binfmt_misc refused the emulator's entry"; return 0; }
        tb_log "registered $qemu for 32-bit programs (${TB_BINFMT_ENTRY##*/})"
    fi
    if tb_wine32_starts; then
        tb_emulated
    elif [ -n "$other" ]; then
        TB_I686_WHY="$no binfmt_misc already has an entry for 32-bit programs ($other) that is not this test bed's to replace"
    else
        tb_remove_binfmt
        TB_I686_WHY="Wine's 32-bit half does not start, not even under $qemu"
    fi
}

tb_remove_binfmt() {
    if [ -n "$TB_BINFMT_ENTRY" ] && [ -e "$TB_BINFMT_ENTRY" ]; then
        echo -1 >"$TB_BINFMT_ENTRY" 2>/dev/null || tb_log "could not remove $TB_BINFMT_ENTRY"
    fi
    TB_BINFMT_ENTRY=
}

tb_start_xvfb() {
    # Xvfb picks a free display itself and writes its number to fd 3, so
    # that test beds started side by side never collide.
    local fifo=$TB_DIR/xvfb.display n=
    rm -f "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >"$TB_DIR/xvfb.log" 2>&1 &
    TB_PIDS+=($!)
    # shellcheck disable=SC2016 # expanded by eval
    tb_until 10 "Xvfb's display (see $TB_DIR/xvfb.log)" \
        eval 'n=$(tr -dc 0-9 2>/dev/null <"$fifo") && [ -n "$n" ] && [ -e "/tmp/.X11-unix/X$n" ]' || return 1
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
    # shellcheck disable=SC2016 # expanded by eval
    tb_until 5 "socat's cable $a" eval '[ -e "$a" ] && [ -e "$b" ]' || return 1
    sleep 2147483647 <>"$a" & TB_PIDS+=($!)
    sleep 2147483647 <>"$b" & TB_PIDS+=($!)
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
        # One virtual desktop, with a taskbar and tray, for every program.
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

# The port map is applied when the wineserver restarts and the first
# program after it starts Wine's services.
tb_apply_ports() {
    tb_guard_ports
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    "$WINESERVER" -p
    "$WINE" cmd /c exit >/dev/null 2>&1 || true
}

tb_check_ports() {
    local dd=$WINEPREFIX/dosdevices n
    if ls -l "$dd" | grep -q '/dev/ttyS'; then
        tb_log "refusing to go on: a COM port is mapped to the machine's UART:"
        ls -l "$dd" >&2
        return 1
    fi
    for n in 1 2 3 11 12 13; do
        [ -L "$dd/com$n" ] || { tb_log "com$n is not mapped"; ls -l "$dd" >&2; return 1; }
    done
    [ ! -e "$dd/com4" ] || { tb_log "com4 should be absent"; return 1; }
}

tb_start() {
    tb_env
    mkdir -p "$TB_DIR"
    trap tb_stop EXIT
    trap 'tb_stop; exit 130' INT TERM
    tb_start_xvfb
    tb_enable_i686
    # A prefix made while no 32-bit program could start lacks its 32-bit
    # half (syswow64); made again, it gets one.
    if [ -n "$TB_I686" ] && [ -f "$WINEPREFIX/system.reg" ] &&
        [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/cmd.exe" ]; then
        tb_log "making the Wine prefix again, with its 32-bit half"
        "$WINESERVER" -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        tb_log "creating Wine prefix (once)"
        local made=$SECONDS
        # Guard every COM number, mapped ones included: the map does not
        # exist yet. Wine makes the drive links only when it creates
        # dosdevices/ itself, so they are made here as Wine would.
        mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/drive_c"
        ln -sfn ../drive_c "$WINEPREFIX/dosdevices/c:"
        ln -sfn / "$WINEPREFIX/dosdevices/z:"
        TB_MAPPED_PORTS= tb_guard_ports
        "$WINE" wineboot -i >/dev/null 2>&1 || true
        "$WINESERVER" -w
        tb_log "prefix made in $((SECONDS - made)) s"
    fi
    # Debian's Wine 8 looks for its own fonts in /usr/share/fonts instead of
    # /usr/share/wine/fonts, so the caption buttons, drawn with Marlett,
    # showed letters ("r" for the close box); a copy in the prefix's Fonts
    # folder is found. Only Marlett: the dialogs keep the fonts they had.
    local fonts=$WINEPREFIX/drive_c/windows/Fonts n
    if [ -d "$fonts" ] && [ ! -e "$fonts/marlett.ttf" ] && [ -f /usr/share/wine/fonts/marlett.ttf ]; then
        cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
    fi
    for n in 1 2 3; do
        tb_cable "$TB_DIR/com$n" "$TB_DIR/com$n-partner"
    done
    "$WINESERVER" -p
    tb_write_ports
    tb_apply_ports
    tb_check_ports
    "$WINE" "$TB_BIN/hide_port.exe" COM4 || { tb_log "could not make COM4 absent"; return 1; }
}

tb_stop() {
    trap - EXIT INT TERM
    if [ -n "${WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ]; then
        "$WINESERVER" -k 2>/dev/null || true
        # No 32-bit process may still need the emulator's entry.
        [ -z "$TB_BINFMT_ENTRY" ] || timeout 30 "$WINESERVER" -w 2>/dev/null || true
    fi
    tb_remove_binfmt
    if [ ${#TB_PIDS[@]} -gt 0 ]; then
        kill "${TB_PIDS[@]}" 2>/dev/null || true
        wait "${TB_PIDS[@]}" 2>/dev/null || true
    fi
    TB_PIDS=()
}

# Lays the test bed for a script: with $1 = 1 (--reuse-testbed) the one
# already running, the test suite's, whose programs are built; otherwise a
# private one in build/$2, after installing what is missing and building.
# Sets TB_BIN, where the test programs and their tavrin.exe are, and
# TB_OWN (1 when this script started the test bed). A script that wants
# to use a display of its own redefines tb_start_xvfb before.
tb_bed() {
    TB_OWN=$((1 - $1))
    if [ "$TB_OWN" = 0 ]; then
        : "${WINEPREFIX:?--reuse-testbed needs a running test bed (WINEPREFIX)}" \
            "${DISPLAY:?--reuse-testbed needs a running test bed (DISPLAY)}"
        TB_DIR=$(dirname "$WINEPREFIX")
    else
        "$TB_ROOT/scripts/setup-deps"
        TB_DIR=$TB_ROOT/build/$2
    fi
    tb_env
    TB_BIN=$TB_ROOT/build
    [ "$TB_ARCH" = i686 ] || TB_BIN+=/win64
    [ "$TB_OWN" = 0 ] && return 0
    TAVRIN_DEPS_DONE=1 "$TB_ROOT/scripts/build" --tests "$TB_ARCH"
    tb_start
}

# What scripts/run and scripts/screenshots show: sample bar codes, typed
# on COM2's cable as a person scans, one code a second (each named on
# stdout with "say"), and Tavrin's settings key, which they clear.
TB_SAMPLES=(4006381333931 9780201379624 5901234123457 TAVRIN-0001)
TB_SETTINGS_KEY='HKCU\Software\Quorvel\Tavrin\Settings'
tb_scan_samples() {
    local i
    for i in "${!TB_SAMPLES[@]}"; do
        [ "$i" -eq 0 ] || sleep 1
        printf '%s\r' "${TB_SAMPLES[$i]}" >"$TB_DIR/com2-partner"
        [ "${1:-}" != say ] || echo "  scanned ${TB_SAMPLES[$i]}"
    done
}

# Closes Tavrin (Unix pid $1) as a user would, with its Close command,
# and waits 60 s at most for it to end; fails, saying so, if it does not.
tb_close_tavrin() {
    "$WINE" "$TB_BIN/tavrin_command.exe" 40002 >/dev/null 2>&1 || true
    timeout 60 tail --pid="$1" -s 0.1 -f /dev/null ||
        { tb_log "Tavrin did not end within 60 s of its Close command"; return 1; }
}
