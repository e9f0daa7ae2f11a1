# Sourced by the service's benchmarks: the program measured (this build's, or another's to
# compare), a scratch folder, and wrk's script for syncs of seeded devices.
#   . bench/service-bench.sh [SECONDS] [SERVICE_BINARY]
seconds="${1:-10}"
service="${2:-build/service/velmora-service}"
[ -x "$service" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing: apt-get install wrk" >&2; exit 1; }
work=$(mktemp -d)

# $work/sync.lua: each request from one of the devices DEVICE-000000 … DEVICE-(count - 1).
sync_script() { # count
    cat > "$work/sync.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
request = function()
  local body = string.format('{"d":"DEVICE-%06d","v":"1.0.0","os":"Debian GNU/Linux 12"}',
                             math.random(0, $(($1 - 1))))
  return wrk.format(nil, "/api/sync.php", nil, body)
end
LUA
}
