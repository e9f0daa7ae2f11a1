#!/usr/bin/env bash
# What a packager would break: the desktop entry and the metainfo validate, the manual pages
# render without a single warning, and the service's systemd unit stays confined. Usage: check-packaging.sh SOURCE_FOLDER
set -uo pipefail
src="$1"
failed=0
check() { # what, command...
    local what="$1"; shift
    local out
    if ! out=$("$@" 2>&1) || grep -qiE '^(E|W): |warning|error' <<<"$out"; then
        echo "FAIL: $what"; echo "$out"; failed=$((failed + 1))
    else
        echo "ok: $what"
    fi
}
check "desktop entry" desktop-file-validate "$src/resources/velmoravovir.desktop"
check "AppStream metainfo" appstreamcli validate --no-net "$src/resources/ch.velmoralabs.VelmoraVovir.metainfo.xml"
render() { # page, locale: only what man and groff say on stderr
    env LC_ALL="$2" MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null
}
for page in "$src"/docs/man/*.1; do
    for locale in C C.UTF-8; do
        check "$(basename "$page") in $locale" render "$page" "$locale"
    done
done
# The service's unit exposes no more than 2.5 on systemd's scale (its own rating, offline).
unit_rating() {
    systemd-analyze --offline=true --threshold=25 security "$src/debian/velmora-service.service" \
        > /dev/null 2>&1 || { systemd-analyze --offline=true security \
        "$src/debian/velmora-service.service" 2>&1 | tail -1; return 1; }
}
check "systemd unit rated 2.5 or lower" unit_rating
# The closing line CTest reads; the exit code says the same.
total=$(( 3 + 2 * $(ls "$src"/docs/man/*.1 | wc -l) ))
echo "$((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
