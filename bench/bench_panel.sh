#!/usr/bin/env bash
# The application's cost per tick in its three ways of running, side by side in one run: the
# terminal line (--watch), the panel item with the window hidden, and the window shown. The
# panel is played by the test helper on a private session bus; every run reads this machine's
# own /proc and /sys and talks to no server. Each is measured once past its start-up (35 s, so
# that the thread of the launch's look-up of the service has ended). Prints processor time (in
# all and by thread), wakeups and their ratios to --watch. Usage: bench/bench_panel.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="$(pwd)/build"
for program in src/velmoravovir src/velmoravovir-desktop tests/panel_host bench/bench_process; do
    [ -x "$build/$program" ] || { echo "build first: scripts/build.sh ($program is missing)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/run.sh" <<'RUN'
set -euo pipefail
build="$1" seconds="$2" work="$3"
# One home per run, opening in the mode asked, never asking, talking to nobody.
home() {
    rm -rf "$work/home"; mkdir -p "$work/home/.config/VelmoraVovir" "$work/run"; chmod 700 "$work/run"
    echo "{\"VSOnboarded\": true, \"VSMenuBarMode\": $1, \"VSInterval\": 2}" \
        > "$work/home/.config/VelmoraVovir/settings.json"
}
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen
export VELMORA_SERVICE_URL=http://127.0.0.1:9 VELMORA_UPDATE_FEED_URL=http://127.0.0.1:9/a.xml
"$build/tests/panel_host" > "$work/panel.log" 2>&1 < <(sleep infinity) &
for _ in $(seq 50); do grep -q ready "$work/panel.log" && break; sleep 0.1; done
measure() { # name, then the command
    local name="$1"; shift
    "$build/bench/bench_process" --seconds "$seconds" --settle 3 --warmup 35 -- "$@" > "$work/$name.txt"
    echo "== $name"; grep -E 'processor time|by thread|wakeups|resident' "$work/$name.txt"
}
home true;  measure watch "$build/src/velmoravovir" --watch
home true;  measure panel "$build/src/velmoravovir-desktop"
grep -q registered "$work/panel.log" || { echo "the item never reached the panel" >&2; exit 1; }
home false; measure window "$build/src/velmoravovir-desktop"
ratio() { awk -v a="$(awk '/processor time/ { print $4 }' "$work/$1.txt")" \
              -v b="$(awk '/processor time/ { print $4 }' "$work/watch.txt")" \
              -v c="$(awk '/wakeups/ { print $3 }' "$work/$1.txt")" \
              -v n="$1" 'BEGIN { printf "%s: %.2f x --watch in processor time, %.2f wakeups/s\n", n, a / b, c }'; }
ratio panel; ratio window
RUN
dbus-run-session -- bash "$work/run.sh" "$build" "$seconds" "$work"
