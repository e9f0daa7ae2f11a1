#!/usr/bin/env bash
# Sync throughput of velmora-service with 100,000 known devices, on SQLite and on PostgreSQL:
# wrk on loopback, bounded in time, each request from one of the seeded devices at random.
# Prints requests per second and latency percentiles.
# Usage: bench/bench_service.sh [SECONDS] [SERVICE_BINARY] (another build's, to compare)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/service-bench.sh "$@"
trap 'tests/helpers/postgres-cluster.sh stop "$work/pg-url"; rm -rf "$work"' EXIT
# Each request a device of the seeded range, about one in a hundred with a message waiting.
sync_script 100000

serve() { # database URL; prints the port
    "$service" serve --listen 127.0.0.1:0 --console-listen 127.0.0.1:0 --database "$1" > "$work/serve.out" 2>&1 &
    echo $! > "$work/serve.pid"
    for _ in $(seq 100); do
        grep -q listening "$work/serve.out" 2>/dev/null && break
        sleep 0.1
    done
    sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve.out"
}
stop() { kill "$(cat "$work/serve.pid")"; wait "$(cat "$work/serve.pid")" 2>/dev/null || true; }

seen=$(( $(date +%s) * 1000 ))
[ "${VELMORA_BENCH_FIRST_VISITS:-0}" = 1 ] && seen=0
run() { # name, database URL, seeding command reading SQL on stdin
    local name="$1" url="$2" port
    port=$(serve "$url"); stop # creates the schema
    {
        echo "BEGIN;"
        # Seen earlier today, as devices that sync every hour are (VELMORA_BENCH_FIRST_VISITS=1:
        # seen long ago, every sync the first of its day).
        seq 0 99999 | awk -v seen="$seen" '{printf "INSERT INTO devices (id, first_seen, last_seen, version, system, acked) VALUES (%c%s%06d%c, 0, %s, %c1.0.0%c, %cDebian GNU/Linux 12%c, 0);\n", 39, "DEVICE-", $1, 39, seen, 39, 39, 39, 39}'
        seq 0 100 99999 | awk '{printf "INSERT INTO maker_messages (device, text, written) VALUES (%cDEVICE-%06d%c, %cBonjour%c, 0);\n", 39, $1, 39, 39, 39}'
        echo "COMMIT;"
    } | "${@:3}" >/dev/null
    port=$(serve "$url")
    for connections in 32 256; do
        echo "== $name: 100000 devices, sync for ${seconds} s, 2 threads, $connections connections"
        wrk -t2 -c"$connections" -d"${seconds}s" --timeout 5s --latency -s "$work/sync.lua" \
            "http://127.0.0.1:$port" | tee "$work/$name-$connections.txt" \
            | grep -E 'Requests/sec|Non-2xx|50%|90%|99%|Socket errors'
    done
    stop
}
rate() { awk '/Requests\/sec/ { print $2 }' "$work/$1.txt"; }

run SQLite "sqlite:$work/bench.sqlite" python3 -c '
import sqlite3, sys
db = sqlite3.connect(sys.argv[1]); db.executescript(sys.stdin.read()); db.commit()' "$work/bench.sqlite"

tests/helpers/postgres-cluster.sh start "$work/pg-url"
pg=$(cat "$work/pg-url")
run PostgreSQL "$pg" psql -q "$pg"

# Side by side, from this one run: the scale-out path against the embedded one.
for connections in 32 256; do
    awk -v s="$(rate SQLite-$connections)" -v p="$(rate PostgreSQL-$connections)" -v c="$connections" \
        'BEGIN { printf "PostgreSQL / SQLite at %d connections: %.2f x\n", c, p / s }'
done
