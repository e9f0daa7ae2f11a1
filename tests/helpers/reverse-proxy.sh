#!/usr/bin/env bash
# The service as deployed: two instances on one PostgreSQL database behind Debian's nginx (round
# robin), with the shipped site as it stands, public and console blocks, TLS replaced by plain
# HTTP. What one instance knows, the other knows: sessions, limits, crash groups.
#   reverse-proxy.sh SOURCE BUILD POSTGRES_URL_FILE
set -euo pipefail
src="$1" build="$2" cluster=$(cat "$3")
service="$build/service/velmora-service"
work=$(mktemp -d /tmp/velmora-proxy.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "reverse-proxy: $*" >&2; exit 1; }
chmod 755 "$work"
wait_for() { # file, pattern
    for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
    fail "nothing like '$2' in $1: $(cat "$1")"
}

name="velmora_proxy_$$"
psql -q "$cluster" -c "CREATE DATABASE $name" || fail "cannot make a database on $cluster"
database="${cluster%/*}/$name"

# What --notify-url receives, one line a post.
/usr/bin/python3 - "$work/told" > "$work/receiver.port" <<'PY' &
import http.server, sys
class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        with open(sys.argv[1], 'ab') as told:
            told.write(body + b'\n')
        self.send_response(204)
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Receiver)
print(server.server_port, flush=True)
server.serve_forever()
PY
pids+=($!)
wait_for "$work/receiver.port" '[0-9]'

ports=() consoles=()
for i in 1 2; do
    "$service" serve --listen 127.0.0.1:0 --console-listen 127.0.0.1:0 --database "$database" \
        --trusted-proxies 127.0.0.1 --console-origin https://console.example.org \
        --notify-url "http://127.0.0.1:$(cat "$work/receiver.port")/hook" > "$work/service$i.out" 2>&1 &
    pids+=($!)
    wait_for "$work/service$i.out" 'console on'
    ports+=("$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$work/service$i.out")")
    consoles+=("$(sed -n 's/.*console on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$work/service$i.out")")
done

proxy_port=$((20000 + RANDOM % 30000))
sed -e "s/listen 443 ssl http2;/listen 127.0.0.1:$proxy_port;/" -e '/listen \[::\]:443/d' \
    -e '/ssl_certificate/d' \
    -e "s/server 127.0.0.1:8080;/server 127.0.0.1:${ports[0]}; server 127.0.0.1:${ports[1]};/" \
    -e "s/server 127.0.0.1:8081;/server 127.0.0.1:${consoles[0]}; server 127.0.0.1:${consoles[1]};/" \
    "$src/debian/velmora-service.nginx.conf" > "$work/site.conf"
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
error_log $work/error.log;
pid $work/nginx.pid;
events {}
http {
    access_log off;
    client_body_temp_path $work/body;
    proxy_temp_path $work/proxy;
    include $work/site.conf;
}
CONF
nginx -t -q -c "$work/nginx.conf" -p "$work" || fail "nginx refuses the example"
nginx -c "$work/nginx.conf" -p "$work" -g 'daemon off;' &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$proxy_port/" && break; sleep 0.1; done

passed=0 failed=0
check() { # what, expected, actual
    if [ "$2" = "$3" ]; then passed=$((passed + 1)); else
        failed=$((failed + 1)); echo "FAIL: $1: expected $2, got $3"; fi
}
public() { # path, body, curl options…: the status, the body in $work/answer
    local path="$1" body="$2"; shift 2
    curl -s -o "$work/answer" -w '%{http_code}' -H 'Host: service.example.org' \
        -H 'Content-Type: application/json' --data-binary "$body" "$@" \
        "http://127.0.0.1:$proxy_port$path"
}
console() { # method, path, body: the status, the body in $work/answer
    curl -s -o "$work/answer" -w '%{http_code}' -X "$1" -b "$work/jar" -c "$work/jar" \
        -H 'Host: console.example.org' -H 'Origin: https://console.example.org' \
        -H 'Content-Type: application/json' -H "X-Velmora-Csrf: ${csrf:-}" \
        ${3:+--data-binary "$3"} "http://127.0.0.1:$proxy_port$2"
}
json() { /usr/bin/python3 -c "import json, sys; print(json.load(open(sys.argv[1]))$1)" "$work/answer"; }

check "a sync through nginx" 200 "$(public /api/sync.php '{"d":"DEV-PROXY","v":"1.0.0","os":"L"}')"
check "its answer" '{"mid":0,"msg":""}' "$(cat "$work/answer")"
check "a NUL in a device id" 400 "$(public /api/sync.php '{"d":"A\u0000B","v":"1","os":"L"}')"
check "a NUL in a report, on PostgreSQL" 200 \
    "$(public /api/report.php '{"d":"DEV-PROXY","v":"1","os":"L","text":"a\u0000b"}')"
head -c 300000 /dev/zero | tr '\0' 'a' > "$work/big"
check "300 KB refused by nginx" 413 "$(public /api/crash.php "@$work/big")"
check "refused before the service" 1 "$(grep -c nginx "$work/answer" || true)"
check "nothing else answered" 404 \
    "$(curl -s -o /dev/null -w '%{http_code}' -H 'Host: service.example.org' "http://127.0.0.1:$proxy_port/admin")"

# Signed in through one instance, the maker acts through either.
printf 'un mot de passe sûr\n' | "$service" console-user add alice --database "$database" >/dev/null
check "signed in through nginx" 200 \
    "$(console POST /api/login '{"name":"alice","password":"un mot de passe sûr"}')"
csrf=$(json '["csrf"]')
reads=""
for _ in $(seq 20); do reads+="$(console GET /api/inbox)"; done
check "20 reads, round robin" "$(printf '200%.0s' $(seq 20))" "$reads"
check "an answer, through the other" 200 "$(console POST /api/reply '{"device":"DEV-PROXY","text":"Merci"}')"

# One limit for both instances: a device's ten reports, wherever they land.
statuses=""
for i in $(seq 12); do
    port=${ports[$((i % 2))]}
    statuses+=" $(curl -s -o /dev/null -w '%{http_code}' -H 'Content-Type: application/json' \
        --data '{"d":"DEV-LIMIT","v":"1","os":"L","text":"x"}' "http://127.0.0.1:$port/api/report.php")"
done
check "reports of one device over two instances" "10 2" \
    "$(tr ' ' '\n' <<<"$statuses" | grep -c 200) $(tr ' ' '\n' <<<"$statuses" | grep -c 429)"

# Twenty new crash groups, each sent to both instances at once: told once each.
senders=()
for group in $(seq 20); do
    for port in "${ports[@]}"; do
        curl -s -o /dev/null -H 'Content-Type: application/json' \
            --data "{\"d\":\"DEV-C$group\",\"kind\":\"crash\",\"message\":\"Signal 11\",\"stack\":\"f$group\",\"v\":\"1\",\"os\":\"L\"}" \
            "http://127.0.0.1:$port/api/crash.php" &
        senders+=($!)
    done
done
wait "${senders[@]}"
# A report to each instance last: each tells in order, so once both reports are told, every
# crash group before them has been.
for port in "${ports[@]}"; do
    curl -s -o /dev/null -H 'Content-Type: application/json' \
        --data "{\"d\":\"DEV-LAST$port\",\"v\":\"1\",\"os\":\"L\",\"text\":\"x\"}" "http://127.0.0.1:$port/api/report.php"
done
for _ in $(seq 200); do [ "$(grep -c DEV-LAST "$work/told" || true)" -ge 2 ] && break; sleep 0.05; done
check "new crash groups told" 20 "$(grep -c '"crash-group"' "$work/told" || true)"

# Over nginx's own limit per address: "too many requests", as the service says it.
over=""
for _ in $(seq 30); do over+=" $(public /api/sync.php '{"d":"DEV-PROXY","v":"1","os":"L"}')"; done
check "nginx's limit answered 429" yes "$(grep -q 429 <<<"$over" && echo yes || echo no)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
