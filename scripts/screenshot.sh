#!/usr/bin/env bash
# Redoes the README's pictures: the main window, the settings view, the messages window, the
# history after five minutes of a processor kept busy by turns, and an alert shown by dunst, each
# taken from a real window on a virtual X display, with a throw-away configuration and a private
# session bus. The service addresses point at a closed loopback port: nothing leaves the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests
if ! command -v xdotool >/dev/null || ! command -v dunst >/dev/null; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends xdotool dunst >/dev/null
fi
scripts/build.sh >/dev/null

# A short conversation for the messages window, in the store's tagged form.
conversation='"VSMessageHistory": [
 {"$dict": {"id": 12, "body": "Bonjour ! Merci pour ton signalement. La version 1.0.1 corrige le réseau à zéro après la mise en veille.", "date": {"$date": "2026-12-04T09:12:00Z"}, "mine": false}},
 {"$dict": {"id": -1764873600, "body": "Super, je viens de l’installer : les chiffres repartent bien après la veille.", "date": {"$date": "2026-12-04T18:40:00Z"}, "mine": true}},
 {"$dict": {"id": 14, "body": "Parfait. N’hésite pas si autre chose cloche.", "date": {"$date": "2026-12-05T13:07:00Z"}, "mine": false}}]'

shoot() { # output, window title to photograph, settings members, extra environment, action
    local out="$1" title="$2" settings="$3" extra="$4" action="$5"
    local home; home=$(mktemp -d)
    mkdir -p "$home/config/VelmoraVovir"
    echo "{\"VSOnboarded\": true, \"VSInterval\": 2 $settings}" > "$home/config/VelmoraVovir/settings.json"
    cat > "$home/inner.sh" <<INNER
set -eu
export XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" TZ=Europe/Zurich $extra
export VELMORA_SERVICE_URL=http://127.0.0.1:9 VELMORA_UPDATE_FEED_URL=http://127.0.0.1:9/appcast.xml
build/src/velmoravovir & app=\$!
find_window() {
    for _ in \$(seq 100); do
        id=\$(xwininfo -root -tree | awk -v t="\"\$1" 'index(\$0, t) && /velmoravovir-desktop/ {print \$1; exit}')
        [ -n "\$id" ] && return 0
        sleep 0.1
    done
    echo "screenshot: no window \"\$1\" appeared" >&2
    kill \$app; exit 1
}
find_window VelmoraVovir
# Two ticks of the engine, so that the cards show real figures.
sleep 5
$action
if [ "$title" = screen ]; then
    import -window root "$out.screen.png"
    convert "$out.screen.png" -crop 340x80+940+45 +repage "$out" # dunst's corner
    rm "$out.screen.png"
else
    find_window "$title"
    sleep 1
    import -window "\$id" "$out"
fi
kill \$app
INNER
    local status=0
    xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash "$home/inner.sh" 2>&1 \
        | grep '^screenshot:' >&2 || true
    [ -s "$out" ] || status=1
    rm -rf "$home"
    [ "$status" -eq 0 ] || { echo "screenshot: $out was not taken" >&2; exit 1; }
    echo "wrote $out"
}

# The envelope button sits 14 + 30 + 4 + 15 px from the right and 14 + 15 px from the bottom.
open_messages='read -r w h < <(xwininfo -id "$id" | awk "/Width:/ {w=\$2} /Height:/ {h=\$2} END {print w, h}")
xdotool mousemove --window "$id" $((w - 63)) $((h - 29)) click 1'

# Busy 40 s out of every 80, on one core: the history's processor line has its ups and downs.
busy_by_turns='for _ in $(seq 4); do timeout 40 sh -c "while :; do :; done" || :; sleep 40; done'
open_history="$busy_by_turns; xdotool mousemove --window \"\$id\" 118 287 click 1"
alerts=', "VSAlerts": [{"metric": "cpu", "above": 30, "seconds": 10, "enabled": true}]'
show_alert='dunst -config /dev/null & timeout 20 sh -c "while :; do :; done" || :; sleep 1'

mkdir -p docs
rm -f docs/main-window.png docs/settings-view.png docs/messages-window.png \
    docs/history-window.png docs/alert.png
shoot docs/main-window.png VelmoraVovir "" "" ""
shoot docs/settings-view.png VelmoraVovir "" VELMORA_DEBUG_SETTINGS=1 ""
shoot docs/messages-window.png "Messages de Velmora Labs" ", $conversation" "" "$open_messages"
shoot docs/history-window.png "Historique" "" "" "$open_history"
shoot docs/alert.png screen "$alerts" "" "$show_alert"
