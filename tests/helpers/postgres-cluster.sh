#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for the service's tests, from Debian's postgresql package.
#   postgres-cluster.sh start FILE   starts one on 127.0.0.1 and writes its URL into FILE
#   postgres-cluster.sh stop FILE    stops it and removes it
# As root the cluster runs as the postgres user, which PostgreSQL requires.
set -euo pipefail
action="$1" file="$2"
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$bin" ] || { echo "postgres-cluster: PostgreSQL is not installed (apt-get install postgresql)" >&2; exit 1; }
as_owner() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

case "$action" in
start)
    dir=$(mktemp -d /tmp/velmora-pg.XXXXXX)
    chmod 755 "$dir"
    [ "$(id -u)" -ne 0 ] || chown postgres "$dir"
    echo "$dir" > "$file.dir"
    as_owner "$bin/initdb" -D "$dir/data" -U postgres -A trust --no-sync >/dev/null
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 30000))
        if as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w -t 30 \
            -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=off -c max_connections=200" \
            start >/dev/null; then
            echo "postgresql://postgres@127.0.0.1:$port/postgres" > "$file"
            exit 0
        fi
    done
    cat "$dir/log" >&2
    exit 1
    ;;
stop)
    dir=$(cat "$file.dir" 2>/dev/null) || exit 0
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir" "$file" "$file.dir"
    ;;
esac
