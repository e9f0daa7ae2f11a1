#!/usr/bin/env bash
# Sync latency of velmora-service (SQLite) alone, then while its console takes 20 sign-in tries
# a second (each an Argon2id check, from addresses within their limits), side by side: wrk on
# loopback, bounded in time. Prints requests per second, latency percentiles, the sign-in
# answers by status and the ratio of the 99th percentiles.
# Usage: bench/bench_signin.sh [SECONDS] [SERVICE_BINARY]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/service-bench.sh "$@"
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
sync_script 10000

"$service" serve --listen 127.0.0.1:0 --console-listen 127.0.0.1:0 --trusted-proxies 127.0.0.1 \
    --database "sqlite:$work/bench.sqlite" > "$work/serve.out" 2>&1 &
for _ in $(seq 100); do grep -q 'console on' "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve.out")
console=$(sed -n 's/.*console on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve.out")

measure() { # name
    echo "== $1: sync for ${seconds} s, 2 threads, 32 connections"
    wrk -t2 -c32 -d"${seconds}s" --timeout 5s --latency -s "$work/sync.lua" \
        "http://127.0.0.1:$port" | tee "$work/$1.txt" | grep -E 'Requests/sec|Non-2xx| 50%| 99%'
}
# Every device known first, so that both runs only refresh them.
wrk -t2 -c32 -d3s -s "$work/sync.lua" "http://127.0.0.1:$port" > /dev/null
measure alone

# 20 tries a second, each from an address of its own (so within every limit), for as long as
# wrk runs and no longer.
/usr/bin/python3 - "$console" "$((seconds + 1))" > "$work/signins.txt" <<'PY' &
import collections, http.client, json, sys, threading, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
statuses = collections.Counter()
def sign_in(n):
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
    body = json.dumps({'name': 'maker%d' % (n % 7), 'password': 'pas le bon mot'})
    try:
        connection.request('POST', '/api/login', body, {
            'Content-Type': 'application/json',
            'X-Forwarded-For': '10.%d.%d.%d' % (n >> 16 & 255, n >> 8 & 255, n & 255)})
        statuses[connection.getresponse().status] += 1
    except OSError:
        statuses['error'] += 1
threads, start = [], time.monotonic()
for n in range(int(seconds * 20)):
    time.sleep(max(0, start + n / 20 - time.monotonic()))
    threads.append(threading.Thread(target=sign_in, args=(n,)))
    threads[-1].start()
for thread in threads:
    thread.join()
print('sign-in answers: ' + ', '.join('%s x %d' % item for item in sorted(statuses.items(), key=str)))
PY
signins=$!
measure "with 20 sign-ins a second"
wait "$signins"
cat "$work/signins.txt"

p99() { awk '/ 99%/ { v = $2; if (v ~ /us$/) v /= 1000; else if (v ~ /ms$/) v += 0; else v *= 1000; print v }' "$work/$1.txt"; }
awk -v a="$(p99 alone)" -v b="$(p99 "with 20 sign-ins a second")" \
    'BEGIN { printf "sync p99: %.1f ms alone, %.1f ms with sign-ins (%.2f x)\n", a, b, b / a }'
