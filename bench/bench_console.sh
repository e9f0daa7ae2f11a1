#!/usr/bin/env bash
# Latency of the maker's console with 100,000 devices and 1,000,000 messages (700,000 reports
# and replies, 300,000 answers), one conversation of 3,000 reports, 20,000 crashes in 200 groups
# and 2,000 more groups of a 100 KB stack each, in SQLite: wrk on loopback
# against each page's request, signed in, two connections (two makers at once), bounded in time. Prints requests per
# second and latency percentiles. Usage: bench/bench_console.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-5}"
service=build/service/velmora-service
[ -x "$service" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing: apt-get install wrk" >&2; exit 1; }
work=$(mktemp -d)
trap '[ -f "$work/serve.pid" ] && kill "$(cat "$work/serve.pid")" 2>/dev/null; rm -rf "$work"' EXIT
database="sqlite:$work/bench.sqlite"

serve() {
    "$service" serve --listen 127.0.0.1:0 --console-listen 127.0.0.1:0 --database "$database" \
        > "$work/serve.out" 2>&1 &
    echo $! > "$work/serve.pid"
    for _ in $(seq 100); do
        grep -q "console on" "$work/serve.out" 2>/dev/null && break
        sleep 0.1
    done
    sed -n 's/.*console on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve.out"
}

serve > /dev/null # creates the schema
kill "$(cat "$work/serve.pid")"; wait "$(cat "$work/serve.pid")" 2>/dev/null || true
echo "seeding…" >&2
python3 - "$work/bench.sqlite" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
numbers = "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < {})"
db.executescript(f"""
BEGIN;
{numbers.format(99999)}
INSERT INTO devices (id, first_seen, last_seen, version, system, acked)
    SELECT printf('DEVICE-%06d', i), 1700000000000, 1790000000000, '1.0.' || (i % 7),
           'Debian GNU/Linux 12', 0 FROM n;
{numbers.format(699999)}
INSERT INTO reports (device, text, email, version, system, received, kind)
    SELECT printf('DEVICE-%06d', i % 100000),
           'Le panneau affiche ' || i || ' % de processeur depuis la mise à jour, et la '
           || 'fenêtre se fige quand je la déplace sur le second écran.',
           CASE WHEN i % 3 = 0 THEN printf('user%d@exemple.fr', i % 100000) END,
           '1.0.0', 'Debian GNU/Linux 12', 1700000000000 + i * 1000,
           CASE WHEN i < 100000 THEN 'report' ELSE 'reply' END FROM n;
{numbers.format(299999)}
INSERT INTO maker_messages (device, text, written, offered, author)
    SELECT printf('DEVICE-%06d', i % 100000), 'Merci pour votre message, nous regardons.',
           1700000000000 + i * 2333, 1700000000000 + i * 2333, 'alice' FROM n;
{numbers.format(19999)}
INSERT INTO crashes (device, kind, message, stack, version, system, signature, received)
    SELECT printf('DEVICE-%06d', i * 5), 'SIGSEGV', 'Signal 11 dans Rates::cpu',
           'velmoravovir(_ZN5Rates3cpuEv+0x1c) [0x55d1]' || char(10) || 'libc.so.6(+0x271ca)',
           '1.0.0', 'Linux', printf('%016x', i % 200), 1700000000000 + i * 7000 FROM n;
-- One user who writes every day: 3,000 reports in one conversation.
INSERT INTO devices (id, first_seen, last_seen, version, system, acked)
    VALUES ('DEVICE-BAVARD', 1700000000000, 1790000000000, '1.0.6', 'Debian GNU/Linux 12', 0);
{numbers.format(2999)}
INSERT INTO reports (device, text, email, version, system, received, kind)
    SELECT 'DEVICE-BAVARD', 'Encore un souci numéro ' || i, 'bavard@exemple.fr', '1.0.6',
           'Debian GNU/Linux 12', 1750000000000 + i * 60000, 'report' FROM n;
-- 2,000 groups whose first crash carries a 100 KB stack.
{numbers.format(1999)}
INSERT INTO crashes (device, kind, message, stack, version, system, signature, received)
    SELECT printf('DEVICE-%06d', i), 'SIGABRT', 'Signal 6 numéro ' || i,
           hex(randomblob(51200)), '1.0.0', 'Linux', printf('grosse-pile-%04d', i),
           1750000000000 + i * 1000 FROM n;
INSERT INTO reports_search (rowid, text, email)
    SELECT id, text, COALESCE(email, '') FROM reports;
INSERT INTO answers_search (rowid, text) SELECT id, text FROM maker_messages;
UPDATE devices SET
    last_user_message = (SELECT MAX(received) FROM reports WHERE device = devices.id),
    last_answer = (SELECT MAX(written) FROM maker_messages WHERE device = devices.id),
    email = (SELECT email FROM reports WHERE device = devices.id AND email IS NOT NULL
             ORDER BY received DESC LIMIT 1);
-- A studio that keeps up: one conversation in fifty waits for an answer.
UPDATE devices SET last_activity = MAX(last_user_message, last_answer),
    attention = CAST(substr(id, 8) AS INTEGER) % 50 = 0,
    preview = 'Le panneau affiche 42 % de processeur depuis la mise à jour';
COMMIT;
""")
# Written into the database file itself, as a service that has run a while finds it: a large
# write-ahead log would slow every read.
db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
db.close()
PY
port=$(serve)
echo "un mot de passe pour le banc" | "$service" console-user add bench --database "$database" >/dev/null
cookie=$(curl -s -D - -o /dev/null -H 'Content-Type: application/json' \
    -d '{"name": "bench", "password": "un mot de passe pour le banc"}' \
    "http://127.0.0.1:$port/api/login" | sed -n 's/^Set-Cookie: \([^;]*\);.*/\1/p')
[ -n "$cookie" ] || { echo "cannot sign in: $(cat "$work/serve.out")" >&2; exit 1; }
echo "waiting: $(curl -s -H "Cookie: $cookie" "http://127.0.0.1:$port/api/session")"

page() { # name, path
    echo "== $1: GET $2, ${seconds} s, 2 connections (two makers at once)"
    sleep 1 # what the previous page left in the queue is done
    wrk -t1 -c2 -d"${seconds}s" --timeout 5s --latency -H "Cookie: $cookie" \
        "http://127.0.0.1:$port$2" | grep -E 'Requests/sec|Non-2xx|50%|99%|Socket errors'
}
page "the page itself" "/"
page "inbox, first page" "/api/inbox"
page "inbox, page 1000" "/api/inbox?offset=50000"
page "conversation (10 messages)" "/api/conversation?device=DEVICE-004242"
page "one crash group" "/api/crash?signature=000000000000002a"
page "inbox, search for an address" "/api/inbox?q=user4242%40exemple"
page "inbox, search for a word in every message" "/api/inbox?q=fen%C3%AAtre"
page "inbox, two words in any order, by their beginnings" "/api/inbox?q=%C3%A9cran%20fen"
page "inbox, a word of the maker's answers" "/api/inbox?q=regardons"
page "inbox, waiting with an address in 1.0.3" "/api/inbox?waiting=1&email=1&version=1.0.3"
page "conversation of 3,000 reports, newest 100" "/api/conversation?device=DEVICE-BAVARD"
oldest=$(curl -s -H "Cookie: $cookie" "http://127.0.0.1:$port/api/conversation?device=DEVICE-BAVARD" |
    python3 -c 'import json, sys; e = json.load(sys.stdin)["entries"][0]; print(e["kind"] + "%3A" + str(e["id"]))')
page "conversation of 3,000 reports, Plus anciens" "/api/conversation?device=DEVICE-BAVARD&before=$oldest"
page "crash groups (2,200), first 50" "/api/crashes"
page "crash groups (2,200), the last 50" "/api/crashes?offset=2150"
page "one group of a 100 KB stack" "/api/crash?signature=grosse-pile-1234"
