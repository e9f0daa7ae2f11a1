#!/usr/bin/env bash
# The application's cost per tick in its three ways of running: the terminal line (--watch), the
# panel item with the window hidden, and the window shown; and, as the panel's floor, the same
# ticks as --watch in the GUI toolkit's event loop (bench_loop). They run side by side, each on a
# private session bus and in a home of its own, so that the machine's changes of speed (large on
# a virtual machine, and what made runs one after the other disagree) reach them all alike. The
# panel is played by the test helper; every run reads this machine's own /proc and /sys and talks
# to no server. Each is measured once past its start-up (35 s, so that the thread of the launch's
# look-up of the service has ended), in each of ROUNDS rounds. Prints processor time (in all and
# by thread), wakeups, each round's ratios to --watch and their medians.
# Usage: bench/bench_panel.sh [SECONDS] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}" rounds="${2:-3}"
build="${VELMORA_BENCH_BUILD:-$(pwd)/build}" # another build to compare with
for program in src/velmoravovir src/velmoravovir-desktop bench/bench_process bench/bench_loop; do
    [ -x "$build/$program" ] || { echo "build first: scripts/build.sh ($program is missing)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One way of running on its own bus: FOLDER IN_PANEL COMMAND... A home that opens in the mode
# asked, never asks, talks to nobody.
cat > "$work/one.sh" <<'ONE'
set -euo pipefail
build="$1" seconds="$2" dir="$3" inPanel="$4"; shift 4
mkdir -p "$dir/home/.config/VelmoraVovir" "$dir/run"; chmod 700 "$dir/run"
echo "{\"VSOnboarded\": true, \"VSMenuBarMode\": $inPanel, \"VSInterval\": 2}" \
    > "$dir/home/.config/VelmoraVovir/settings.json"
export HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" XDG_DATA_HOME="$dir/home/.local/share"
export XDG_CACHE_HOME="$dir/home/.cache" XDG_RUNTIME_DIR="$dir/run" QT_QPA_PLATFORM=offscreen
export VELMORA_SERVICE_URL=http://127.0.0.1:9 VELMORA_UPDATE_FEED_URL=http://127.0.0.1:9/a.xml
tests/helpers/panel_host.py > "$dir/panel.log" 2>&1 < <(sleep infinity) &
for _ in $(seq 50); do grep -q ready "$dir/panel.log" && break; sleep 0.1; done
"$build/bench/bench_process" --seconds "$seconds" --settle 3 --warmup 35 -- "$@" > "$dir/figures.txt"
ONE

# The number after the colon of a line of figures: FOLDER KEY.
figure() { awk -F: -v key="$2" '$1 ~ key { print $2 + 0 }' "$1/figures.txt"; }
# The runs of a round: NAME IN_PANEL PROGRAM [ARGUMENT], the program in the build folder.
runs=("watch true src/velmoravovir --watch" "panel true src/velmoravovir-desktop"
      "window false src/velmoravovir-desktop" "loop true bench/bench_loop")
for round in $(seq "$rounds"); do
    r="$work/$round" pids=()
    for run in "${runs[@]}"; do
        read -r name inPanel program arguments <<< "$run"
        dbus-run-session -- bash "$work/one.sh" "$build" "$seconds" "$r/$name" "$inPanel" \
            "$build/$program" $arguments & pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || { echo "round $round failed" >&2; exit 1; }; done
    grep -q registered "$r/panel/panel.log" || { echo "the item never reached the panel" >&2; exit 1; }
    echo "== round $round"
    for name in watch panel window loop; do
        echo "-- $name"; grep -E 'processor time|by thread|wakeups|resident' "$r/$name/figures.txt"
    done
    for name in panel window loop; do
        awk -v n="$name" -v a="$(figure "$r/$name" 'processor time')" \
            -v b="$(figure "$r/watch" 'processor time')" -v c="$(figure "$r/$name" wakeups)" \
            'BEGIN { printf "%s: %.2f x --watch in processor time, %.2f wakeups/s\n", n, a / b, c }' |
            tee -a "$work/ratios.txt"
    done
done
median() { grep "^$1:" "$work/ratios.txt" | awk '{ print $2 }' | sort -n |
           awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "== median of $rounds rounds"
echo "panel: $(median panel) x --watch, window: $(median window) x --watch," \
    "toolkit's loop alone: $(median loop) x --watch"
