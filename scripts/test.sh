#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Tests talk only to servers they start
# on loopback, draw offscreen and start their own private D-Bus session where they need one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests
scripts/build.sh
export VELMORA_SERVICE_URL="http://127.0.0.1:9"
cd build
ctest --output-on-failure -j 2
