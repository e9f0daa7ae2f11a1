#!/usr/bin/env bash
# Installs the Debian 12 packages that building and running need, when missing; with --tests,
# also those of the tests and the screenshots.
set -euo pipefail

# Building and running the application (and the maker's service, built with it).
packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-qpa-plugins libgl-dev
    qt6-httpserver-dev qt6-websockets-dev libqt6sql6-sqlite libqt6sql6-psql libsodium-dev
    libdw-dev libcurl4-openssl-dev
    qt6-translations-l10n qt6-wayland
)
# --tests: what the tests and the pictures need besides: a PostgreSQL server, a virtual display,
# private buses, the packaging checks, the desktops whose panels the item is tried in, and a
# notification daemon.
if [ "${1:-}" = "--tests" ]; then
    packages+=(
        postgresql xvfb xauth dbus dbus-x11 x11-apps x11-utils xdotool imagemagick
        desktop-file-utils appstream man-db systemd nginx curl locales
        chromium chromium-driver python3-selenium python3-dbus python3-gi gir1.2-gtk-4.0
        gnome-shell gnome-shell-extension-appindicator
        plasma-workspace plasma-desktop breeze kded5
        xfce4-panel xfce4-indicator-plugin ayatana-indicator-application dunst
        python3-aiosmtpd openssl
    )
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
