#!/usr/bin/env bash
# The panel item in the desktops people use, each started here on a virtual display with a
# private session bus, as a user's login would start it:
#   real-desktops.sh gnome BUILD [SCREENSHOT]    GNOME Shell 43 with the AppIndicator extension,
#                                                on X11 (Xvfb) and on headless Wayland
#   real-desktops.sh plasma BUILD [SCREENSHOT]   KDE Plasma 5.27 on Xvfb
#   real-desktops.sh xfce BUILD                  XFCE's panel with the Ayatana indicator plugin
# Each start must show the item (the desktop reads its menu); on X11 the menu, read as the
# desktop reads it, holds each figure once with a live value, and "Ouvrir VelmoraVovir…" opens
# the window; under Wayland, a later launch brings the minimised window back with the focus.
# Every wait is for a condition, with a bound.
set -euo pipefail
desktop="$1" build="$(cd "$2" && pwd)" screenshot="${3:-}"
app="$build/src/velmoravovir-desktop"
host="$(dirname "$0")/panel_host.py"
user="$(dirname "$0")/wayland_user.py"
starts_x11="${VELMORA_DESKTOP_STARTS_X11:-6}"
starts_wayland="${VELMORA_DESKTOP_STARTS_WAYLAND:-4}"
starts_plasma="${VELMORA_DESKTOP_STARTS_PLASMA:-3}" # Plasma takes some 15 s to start
starts_xfce="${VELMORA_DESKTOP_STARTS_XFCE:-2}"

fail() { echo "real-desktops ($desktop): $*" >&2; exit 1; }
# wait_for SECONDS COMMAND...: runs COMMAND every 0.2 s until it succeeds.
wait_for() {
    local bound=$(($1 * 5)); shift
    for _ in $(seq "$bound"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
    return 1
}
has_name() { dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q true; }
items() { dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
    /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
    string:org.kde.StatusNotifierWatcher string:RegisteredStatusNotifierItems | grep -c 'string "'; }
listed() { [ "$(items)" -ge 1 ]; }
menu_read() { grep -q "member=GetLayout" "$work/monitor.log"; }

work=$(mktemp -d /tmp/velmora-desktop.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# One fresh home per start: the application opens in the panel, never asks, talks to nobody.
fresh_home() {
    rm -rf "$work/home" "$work/run"
    mkdir -p "$work/home/.config/VelmoraVovir" "$work/run"
    chmod 700 "$work/run"
    echo '{"VSOnboarded": true, "VSMenuBarMode": true, "VSInterval": 2}' \
        > "$work/home/.config/VelmoraVovir/settings.json"
    export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config" \
        XDG_DATA_HOME="$work/home/.local/share" XDG_CACHE_HOME="$work/home/.cache"
    export VELMORA_SERVICE_URL=http://127.0.0.1:9 VELMORA_UPDATE_FEED_URL=http://127.0.0.1:9/a.xml
}

# Inside the private session bus: one start of the desktop and the application.
one_start() {
    local session="$1"
    # The desktops draw on the virtual display, whatever the caller's Qt platform (a package
    # build runs its tests offscreen).
    if [ "$session" = x11 ]; then export QT_QPA_PLATFORM=xcb; else unset QT_QPA_PLATFORM; fi
    dbus-monitor --session "type='method_call',interface='com.canonical.dbusmenu'" \
        "type='method_call',path='/StatusNotifierItem'" > "$work/monitor.log" 2>/dev/null &
    local monitor=$!
    case "$desktop/$session" in
    gnome/*)
        gsettings set org.gnome.shell enabled-extensions "['ubuntu-appindicators@ubuntu.com']"
        if [ "$session" = x11 ]; then
            gnome-shell --x11 --replace --sm-disable > "$work/desktop.log" 2>&1 &
        else
            gnome-shell --wayland --headless --virtual-monitor 1280x800 --sm-disable \
                > "$work/desktop.log" 2>&1 &
        fi
        ;;
    plasma/*)
        # kded5 holds Plasma's watcher; outside a Plasma login it loads the module when asked.
        export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5
        kded5 > "$work/desktop.log" 2>&1 &
        watcher=$!
        wait_for 30 has_name org.kde.kded5 || fail "kded5 did not start"
        dbus-send --session --print-reply --dest=org.kde.kded5 /kded org.kde.kded5.loadModule \
            string:statusnotifierwatcher > /dev/null
        plasmashell --no-respawn >> "$work/desktop.log" 2>&1 &
        ;;
    xfce/*)
        write_xfce_panel
        /usr/libexec/ayatana-indicator-application/ayatana-indicator-application-service \
            > "$work/desktop.log" 2>&1 &
        watcher=$! # the panel's watcher, ended with the start as Plasma's
        wait_for 30 has_name org.kde.StatusNotifierWatcher || fail "no watcher"
        xfce4-panel >> "$work/desktop.log" 2>&1 &
        ;;
    esac
    local shell=$!
    wait_for 30 has_name org.kde.StatusNotifierWatcher || { tail -20 "$work/desktop.log" >&2; fail "no watcher"; }
    local platform=xcb
    [ "$session" = wayland ] && platform=offscreen # the item lives on D-Bus alone
    QT_QPA_PLATFORM=$platform "$app" > "$work/app.log" 2>&1 &
    local application=$!
    wait_for 20 menu_read || { tail -20 "$work/desktop.log" >&2; cat "$work/app.log" >&2; fail "$session: the desktop never read the item's menu"; }
    listed || fail "$session: the item was read, then dropped"
    case "$desktop/$session" in
    gnome/wayland)
        if [ "$start_number" = 1 ]; then check_raise; fi
        ;;
    gnome/x11)
        xdotool key Escape # leave the overview it opens on
        check_menu
        [ -n "$screenshot" ] && [ ! -e "$work/taken" ] && take_screenshot 1180 12
        if [ "$start_number" = 1 ]; then check_steady_width; fi
        ;;
    xfce/x11)
        check_xfce_details
        ;;
    plasma/x11)
        wait_for 30 find_tray_icon || fail "the gauge is not in Plasma's tray"
        local at
        at=$(find_tray_icon)
        [ -n "$screenshot" ] && [ ! -e "$work/taken" ] && take_screenshot $at
        check_left_click $at
        ;;
    esac
    kill "$application" "$shell" "$monitor" 2>/dev/null || true
    wait "$application" "$shell" 2>/dev/null || true
    [ -n "${watcher:-}" ] && kill "$watcher" 2>/dev/null
    wait 2>/dev/null || true
    return 0
}

# The item's menu holds the figures once the application has its first sample (a tick after
# it starts; a desktop that starts fast reads the menu before).
figures_shown() {
    local said
    said=$(printf 'gnome-open\nquit\n' | timeout 20 "$host" --reader) || return 1
    grep -q '"CPU : [0-9]' <<<"$said"
}
# The menu as GNOME's extension reads it: each figure once, with a value; then a click.
check_menu() {
    wait_for 10 figures_shown || fail "the menu never showed the figures"
    local said
    said=$(printf 'gnome-open\ngnome-submenu Disques\ngnome-click Ouvrir VelmoraVovir…\nquit\n' |
        timeout 20 "$host" --reader)
    local menu=$(echo "$said" | grep '^gnome-menu ')
    for figure in 'CPU : [0-9]+ %' 'Mémoire : [0-9]+(,[0-9])? Go sur' 'Réseau : ↓ [0-9]' 'Disques"'; do
        [ "$(echo "$menu" | grep -oE "\"$figure" | wc -l)" -eq 1 ] || fail "menu without one \"$figure\": $menu"
    done
    # The details, read as the menu opens: the root file system's space.
    echo "$said" | grep -qE '^gnome-submenu .*"/ : [0-9]+(,[0-9])? Go libres' ||
        fail "no disk space in the menu: $(echo "$said" | grep '^gnome-submenu')"
    echo "$said" | grep -q '^gnome-click ok' || fail "no \"Ouvrir VelmoraVovir…\" to click: $said"
    wait_for 10 xdotool search --onlyvisible --name '^VelmoraVovir$' || fail "the window did not open"
}

# The window's state as GNOME Shell tells it: "focus|- shown|hidden".
window_is() { "$user" windows | grep -qx "VelmoraVovir $1"; }
launcher_focused() { "$user" windows | grep -qx "launcher focus shown"; }
# The window, minimised, comes back with the focus when the application is launched again from
# a launcher (its activation token goes to the running copy): Qt on Wayland, as users run it.
check_raise() {
    kill "$application" && wait "$application" || true
    export WAYLAND_DISPLAY=wayland-0 # the Shell's own display
    echo '{"VSOnboarded": true, "VSInterval": 2}' > "$XDG_CONFIG_HOME/VelmoraVovir/settings.json"
    QT_QPA_PLATFORM=wayland "$app" >> "$work/app.log" 2>&1 &
    application=$!
    wait_for 20 window_is '. shown' || fail "wayland: the window did not show"
    "$user" keys ff1b # Escape: out of the overview the Shell starts in, onto the window
    wait_for 10 window_is 'focus shown' || fail "wayland: the window never had the focus"
    "$user" keys ffeb+68 # Super+H minimises it
    wait_for 10 window_is '- hidden' || fail "wayland: the window was not minimised"
    "$user" launch env QT_QPA_PLATFORM=wayland "$app" >> "$work/app.log" 2>&1 &
    wait_for 10 launcher_focused || fail "wayland: the launcher did not show"
    "$user" keys 61
    wait_for 20 window_is 'focus shown' || fail "wayland: a later launch left the window minimised"
    echo "real-desktops ($desktop): wayland: a later launch brought the minimised window back"
}

# Figures for the tick N of a machine in $work/probe: loads from 0 to 100 %, memory from
# 1 to 15,9 Go, rates from 0 to the widest of each unit, so that every width is met.
write_figures() {
    local n=$1 loads=(0 100 7 55 100 0 33) rates=(0 1048000 1572864 1073741824 500 943718400 12288)
    local load=${loads[$((n % 7))]} rate=${rates[$((n % 7))]}
    busy=$((busy + load)) idle=$((idle + 100 - load)) bytes=$((bytes + rate * 2))
    mkdir -p "$work/probe/proc/net"
    printf 'cpu  %d 0 0 %d\ncpu0 %d 0 0 %d\n' $busy $idle $busy $idle > "$work/probe/proc/stat"
    printf 'MemTotal: 16777216 kB\nMemAvailable: %d kB\n' $((15728640 - (n % 5) * 3600000)) \
        > "$work/probe/proc/meminfo"
    printf 'h\nh\n  eth0: %d 1 0 0 0 0 0 0 %d 1 0 0 0 0 0 0\n' $bytes $bytes > "$work/probe/proc/net/dev"
}
# Where the item's text begins: the first bright column right of the clock. The full format's
# line begins with the same letters ("CPU"), so that edge moves only with the item's width.
text_edge() {
    import -window root "$work/bar.png"
    convert "$work/bar.png" -crop 560x22+720+3 +repage -colorspace Gray -threshold 60% "$work/text.png"
    convert "$work/text.png" txt:- |
        awk -F'[,:]' '/gray\(255\)|white/ { if (min == "" || $1 < min) min = $1 } END { print min }'
}
shown_changed() { text_edge > /dev/null; [ "$(md5sum < "$work/text.png")" != "$1" ]; }
# Over 20 ticks of changing figures, the item's width varies by at most 2 pixels (a rate's
# unit made up to an M's width may round a pixel off; without the figure spaces the item moves
# by some 100 pixels).
check_steady_width() {
    kill "$application" && wait "$application" || true
    echo '{"VSOnboarded": true, "VSMenuBarMode": true, "VSInterval": 2, "VSCompact": false}' \
        > "$XDG_CONFIG_HOME/VelmoraVovir/settings.json"
    busy=0 idle=0 bytes=0
    write_figures 0
    VELMORA_PROBE_ROOT="$work/probe" QT_QPA_PLATFORM=xcb "$app" >> "$work/app.log" 2>&1 &
    application=$!
    local edges=() before
    # The full line, not the gauge alone nor the item of the copy that just ended.
    label_shown() { [ "$(text_edge)" -lt 100 ]; }
    wait_for 20 label_shown || fail "no item text in the top bar"
    for n in $(seq 1 20); do
        write_figures "$n"
        before=$(md5sum < "$work/text.png")
        wait_for 10 shown_changed "$before" || fail "the figures did not change at tick $n"
        wait_for 10 label_shown || fail "the item's text went at tick $n"
        edges+=("$(text_edge)")
    done
    local sorted=($(printf '%s\n' "${edges[@]}" | sort -n))
    [ $((sorted[19] - sorted[0])) -le 2 ] ||
        fail "the item's width moved by $((sorted[19] - sorted[0])) pixels: ${edges[*]}"
    echo "real-desktops ($desktop): x11: the item kept its width over 20 ticks (${sorted[0]}..${sorted[19]})"
}

# The panel's right end with the item's menu open, as a user sees it.
opened_once_more() { [ "$(grep -c 'member=AboutToShow' "$work/monitor.log")" -gt "$shown_before" ]; }
# The screen below the item has changed since the click: the menu's rows are drawn.
menu_drawn() {
    import -window root "$work/shot.png"
    # Where the menu opens: below the top bar's item, or above a bottom panel's.
    local region="300x200+$(( $1 > 640 ? 960 : 20 ))+$(( $2 > 400 ? 520 : 60 ))"
    convert "$work/before.png" -crop "$region" +repage "$work/a.png"
    convert "$work/shot.png" -crop "$region" +repage "$work/b.png"
    local change
    change=$(compare -metric RMSE "$work/a.png" "$work/b.png" null: 2>&1 | sed -n 's/.*(\([0-9.e-]*\)).*/\1/p')
    [ -n "$change" ] && awk -v c="$change" 'BEGIN { exit !(c + 0 > 0.05) }'
}
# A left click at X Y opens the item's menu (the desktop asks for it) and draws it.
open_menu_at() {
    shown_before=$(grep -c 'member=AboutToShow' "$work/monitor.log" || true)
    export shown_before
    import -window root "$work/before.png"
    # A click that comes before the panel takes input on the item (Plasma, under load) is
    # lost: clicked again until the menu opens, never while it is open.
    # Plasma's tray may still be moving its icons as others arrive: each try looks for the
    # item again.
    local tries=0 x="$1" y="$2"
    until opened_once_more; do
        [ "$tries" -lt 8 ] || fail "a left click on the item at $x,$y opened no menu"
        tries=$((tries + 1))
        if [ "$desktop" = plasma ] && [ "$tries" -gt 1 ]; then
            read -r x y <<< "$(find_tray_icon || echo "$x $y")"
        fi
        xdotool mousemove "$x" "$y" click 1
        wait_for 5 opened_once_more || true
    done
    wait_for 10 menu_drawn "$1" "$2" || fail "the menu was never drawn"
}
# The screen's corner with the item and its open menu, as a user sees it; on GNOME with the
# processor's details unfolded (the keyboard goes past "Ouvrir VelmoraVovir…" to its group).
take_screenshot() {
    open_menu_at "$1" "$2"
    local x=$(( $1 > 640 ? 720 : 0 )) y=$(( $2 > 400 ? 400 : 0 )) height=400
    if [ "$desktop" = gnome ]; then
        cp "$work/shot.png" "$work/before.png"
        xdotool key Down Down Return
        wait_for 10 menu_drawn "$1" "$2" || fail "the processor's details did not unfold"
        height=640
    fi
    convert "$work/shot.png" -crop 560x$height+$x+$y +repage "$screenshot"
    touch "$work/taken"
    xdotool key Escape
}
# Plasma's tray draws the gauge as the first dark shape right of the panel's middle.
find_tray_icon() {
    import -window root "$work/panel.png"
    convert "$work/panel.png" -crop 480x36+700+762 +repage -colorspace Gray -threshold 45% txt:- |
        awk -F'[,:]' '/gray\(0\)|black/ { if (min == "" || $1 < min) min = $1 } END {
            if (min == "") exit 1; print 700 + min + 10, 780 }'
}
# KDE: a left click opens the menu (Activate is refused), and the keyboard then reaches
# "Ouvrir VelmoraVovir…", the first entry that can be chosen, after the processor's details.
check_left_click() {
    open_menu_at "$1" "$2"
    # The processor's group of details opens too (Plasma asks the item for its entries).
    submenus_before=$(submenus_opened)
    export submenus_before
    xdotool key Down Down Right
    wait_for 10 submenu_opened || fail "Plasma opened no group of details"
    xdotool key Left Up Return
    wait_for 10 xdotool search --onlyvisible --name '^VelmoraVovir$' || fail "the window did not open"
}

# One panel along the top holding the indicator plugin alone.
write_xfce_panel() {
    local dir="$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
    mkdir -p "$dir"
    cp "$(dirname "$host")/xfce4-panel.xml" "$dir/"
}
# Submenus the panel opened: AboutToShow (or its group form) for an entry, not the root; one
# opened since the count was taken.
submenus_opened() { grep -A2 'member=AboutToShow' "$work/monitor.log" | grep -cE 'int32 [1-9]' || true; }
submenu_opened() { [ "$(submenus_opened)" -gt "$submenus_before" ]; }
# XFCE: the item's menu opens on a click, and the keyboard goes past "Ouvrir VelmoraVovir…" to
# the processor's group, which the panel opens, asking the item for its entries.
check_xfce_details() {
    wait_for 10 figures_shown || fail "the menu never showed the figures"
    open_menu_at 14 14
    submenus_before=$(submenus_opened)
    export submenus_before
    xdotool key Down Down Right
    wait_for 10 submenu_opened || fail "XFCE opened no group of details"
    xdotool key Escape Escape
    # "Historique…", three entries above the last, opens the history with the processor's line.
    open_menu_at 14 14
    xdotool key End Up Up Up Return
    wait_for 10 xdotool search --onlyvisible --name '^Historique' ||
        fail "XFCE: Historique… opened no window"
    wait_for 10 line_drawn || fail "the history window shows no processor line"
}
# Pixels of the processor line's colour in the history window, which a blank one has none of.
line_drawn() {
    import -window "$(xdotool search --onlyvisible --name '^Historique' | head -1)" "$work/history.png"
    local drawn
    drawn=$(convert "$work/history.png" -fuzz 10% -fill '#ff00ff' -opaque '#06b6d4' \
        -fill white +opaque '#ff00ff' -format '%[fx:round((1-mean.g)*w*h)]' info:)
    [ "$drawn" -gt 0 ]
}

run_session() {
    local session="$1" count="$2"
    for i in $(seq "$count"); do
        fresh_home
        if [ "$session" = x11 ]; then
            # A free display number, told by the server itself once it listens.
            Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3> "$work/display" \
                > "$work/xvfb.log" 2>&1 &
            local xvfb=$!
            wait_for 10 grep -q . "$work/display" || fail "Xvfb did not start"
            export DISPLAY=":$(cat "$work/display")"
        else
            unset DISPLAY
        fi
        # GNOME Shell wants a system bus; where no logind runs, an empty private one does.
        dbus-daemon --session --address="unix:path=$work/system_bus" --nofork > /dev/null 2>&1 &
        local system=$!
        export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus"
        wait_for 10 test -S "$work/system_bus"
        export -f one_start check_raise window_is launcher_focused check_menu check_steady_width write_figures text_edge shown_changed write_xfce_panel submenus_opened submenu_opened check_xfce_details line_drawn figures_shown take_screenshot open_menu_at find_tray_icon check_left_click opened_once_more menu_drawn fail wait_for has_name items listed menu_read
        export desktop app host user work screenshot start_number=$i
        # A session of its own: what the desktop leaves behind (services the bus started, which
        # outlive it) ends with it, and nothing keeps the caller's output open.
        setsid dbus-run-session -- bash -c "set -euo pipefail; one_start $session" \
            > "$work/session.log" 2>&1 < /dev/null &
        local session_pid=$! status=0
        wait "$session_pid" || status=$?
        kill -- -"$session_pid" 2>/dev/null || true
        grep '^real-desktops' "$work/session.log" >&2 || true
        if [ "$status" -ne 0 ]; then
            grep -v '^real-desktops' "$work/session.log" | tail -30 >&2
            kill "$system" ${xvfb:-} 2>/dev/null
            exit 1
        fi
        kill "$system" ${xvfb:-} 2>/dev/null || true
        wait 2>/dev/null || true
        echo "real-desktops ($desktop): $session start $i: the item is shown"
    done
}

case "$desktop" in
gnome)
    run_session x11 "$starts_x11"
    run_session wayland "$starts_wayland"
    ;;
plasma)
    run_session x11 "$starts_plasma"
    ;;
xfce)
    run_session x11 "$starts_xfce"
    ;;
*) fail "unknown desktop" ;;
esac
echo "real-desktops ($desktop): passed"
