#!/usr/bin/env bash
# Redoes the README's pictures: the main window and the settings view, each taken from a real
# window on a virtual X display, with a throw-away configuration and a private session bus.
# The service addresses point at a closed loopback port: nothing leaves the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null

shoot() { # output, extra environment
    local out="$1"; shift
    local home; home=$(mktemp -d)
    mkdir -p "$home/config/VelmoraVovir"
    echo '{"VSOnboarded": true, "VSInterval": 2}' > "$home/config/VelmoraVovir/settings.json"
    cat > "$home/inner.sh" <<INNER
set -eu
export XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" $*
export VELMORA_SERVICE_URL=http://127.0.0.1:9 VELMORA_UPDATE_FEED_URL=http://127.0.0.1:9/appcast.xml
build/src/velmoravovir & app=\$!
for _ in \$(seq 100); do
    id=\$(xwininfo -root -tree | awk '/"VelmoraVovir"/ {print \$1; exit}')
    [ -n "\$id" ] && break
    sleep 0.1
done
# Two ticks of the engine, so that the cards show real figures.
sleep 5
import -window "\$id" "$out"
kill \$app
INNER
    xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash "$home/inner.sh" 2>/dev/null
    rm -rf "$home"
    echo "wrote $out"
}

mkdir -p docs
shoot docs/main-window.png
shoot docs/settings-view.png VELMORA_DEBUG_SETTINGS=1
