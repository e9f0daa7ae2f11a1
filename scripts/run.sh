#!/usr/bin/env bash
# One command from a fresh Debian 12 machine to the running application: installs what is
# missing, builds, and starts it (the window on a desktop, the live line in a terminal without
# a display). Arguments are passed on, e.g. scripts/run.sh --watch --json
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
scripts/build.sh >&2 # only the program writes to standard output (--watch --json | jq)
exec build/src/velmoravovir "$@"
