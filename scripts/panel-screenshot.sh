#!/usr/bin/env bash
# Shows the panel item in a real desktop panel and takes its picture (docs/panel.png): XFCE's
# panel with the Ayatana indicator plugin, which displays an item's live text, on a virtual X
# display and a private session bus. Installs those three panel packages when missing; they are
# not needed to build, run or test the application.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests
extra=(xfce4-panel xfce4-indicator-plugin ayatana-indicator-application)
for p in "${extra[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${extra[@]}" >/dev/null
        break
    fi
done
scripts/build.sh >/dev/null

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config/xfce4/xfconf/xfce-perchannel-xml" "$home/config/VelmoraVovir" "$home/run"
chmod 700 "$home/run"
# One panel along the top edge holding the indicator plugin only.
cat > "$home/config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="indicator"/>
  </property>
</channel>
XML
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
