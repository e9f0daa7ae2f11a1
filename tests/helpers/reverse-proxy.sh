#!/usr/bin/env bash
# The nginx site shipped for administrators, in front of the real service: Debian's nginx on
# loopback with the example as it stands, TLS replaced by plain HTTP. A sync passes through;
# an oversized body is refused by nginx before it reaches the service.
#   reverse-proxy.sh SOURCE BUILD
set -euo pipefail
src="$1" build="$2"
work=$(mktemp -d /tmp/velmora-proxy.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "reverse-proxy: $*" >&2; exit 1; }
chmod 755 "$work"

"$build/service/velmora-service" serve --listen 127.0.0.1:0 --console-listen 127.0.0.1:0 --database "sqlite:$work/service.sqlite" \
    > "$work/service.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/service.out" && break; sleep 0.1; done
service_port=$(sed -n 's/.*listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$work/service.out")
[ -n "$service_port" ] || fail "the service did not start: $(cat "$work/service.out")"

proxy_port=$((20000 + RANDOM % 30000))
sed -e "s/listen 443 ssl http2;/listen 127.0.0.1:$proxy_port;/" -e '/listen \[::\]:443/d' \
    -e '/ssl_certificate/d' -e "s/127.0.0.1:8080/127.0.0.1:$service_port/" \
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
body='{"d":"DEV-PROXY","v":"1.0.0","os":"Debian GNU/Linux 12"}'
answer=$(curl -s -X POST -H 'Content-Type: application/json' --data "$body" \
    "http://127.0.0.1:$proxy_port/api/sync.php")
check "a sync through nginx" '{"mid":0,"msg":""}' "$answer"
head -c 300000 /dev/zero | tr '\0' 'a' > "$work/big"
status=$(curl -s -o "$work/big.out" -w '%{http_code}' -X POST --data-binary "@$work/big" \
    "http://127.0.0.1:$proxy_port/api/crash.php")
check "300 KB refused by nginx" 413 "$status"
check "refused before the service" 1 "$(grep -c nginx "$work/big.out" || true)"
check "nothing else answered" 404 \
    "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$proxy_port/admin")"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
