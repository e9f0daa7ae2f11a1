#!/usr/bin/env bash
# The maker's `devices --json` over a large SQLite database: time and peak memory, printed.
# Usage: bench/bench_devices.sh [DEVICES]   (default 1,000,000; one in 100 answered, one in
# 50 with a report)
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-1000000}"
service=build/service/velmora-service
[ -x "$service" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$service" devices --database "sqlite:$work/big.sqlite" > /dev/null # the schema
/usr/bin/python3 - "$work/big.sqlite" "$count" "$service" <<'PY'
import resource, sqlite3, subprocess, sys, time
path, count, service = sys.argv[1], int(sys.argv[2]), sys.argv[3]
db = sqlite3.connect(path)
ids = [f"DEVICE-{i:07d}" for i in range(count)]
db.executemany("INSERT INTO devices (id, first_seen, last_seen, version, system, acked) VALUES (?, 0, 0, '1.0.0', 'Debian GNU/Linux 12', 0)",
               ((i,) for i in ids))
db.executemany("INSERT INTO maker_messages (device, text, written) VALUES (?, 'Bonjour', 0)",
               ((i,) for i in ids[::100]))
db.executemany("INSERT INTO reports (device, text, email, version, system, received) "
               "VALUES (?, 'x', NULL, '1', 'L', 1)", ((i,) for i in ids[::50]))
db.commit()
db.close()
start = time.monotonic()
with open("/dev/null", "w") as out:
    subprocess.run([service, "devices", "--json", "--database", "sqlite:" + path],
                   stdout=out, check=True)
print(f"devices --json, {count} devices: {time.monotonic() - start:.1f} s, "
      f"peak memory {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024:.0f} MB")
PY
