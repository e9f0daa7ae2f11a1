#!/usr/bin/env bash
# Shows the panel item in a real desktop panel and takes its picture (docs/panel.png): XFCE's
# panel with the Ayatana indicator plugin, which displays an item's live text, on a virtual X
# display and a private session bus (the test tools install that panel).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests
scripts/build.sh >/dev/null

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config/xfce4/xfconf/xfce-perchannel-xml" "$home/config/VelmoraVovir" "$home/run"
chmod 700 "$home/run"
# One panel along the top edge holding the indicator plugin only, as the desktop test has it.
cp tests/helpers/xfce4-panel.xml "$home/config/xfce4/xfconf/xfce-perchannel-xml/"
echo '{"VSOnboarded": true, "VSMenuBarMode": true, "VSInterval": 2}' \
    > "$home/config/VelmoraVovir/settings.json"
cat > "$home/inner.sh" <<INNER
set -eu
export VELMORA_SERVICE_URL=http://127.0.0.1:9 VELMORA_UPDATE_FEED_URL=http://127.0.0.1:9/appcast.xml
/usr/libexec/ayatana-indicator-application/ayatana-indicator-application-service &
sleep 1
xfce4-panel &
sleep 3
build/src/velmoravovir &
sleep 8
mkdir -p docs
import -window root -crop 420x28+0+0 docs/panel.png
INNER
# Set before the bus starts: the services it activates inherit its environment.
xvfb-run -a -s "-screen 0 1024x200x24" env XDG_CONFIG_HOME="$home/config" \
    XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run" \
    dbus-run-session -- bash "$home/inner.sh" >/dev/null 2>&1
echo "wrote docs/panel.png"
