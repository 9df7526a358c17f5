#!/usr/bin/env bash
# The main job: build the module and the host, then show what the provider reports.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release --target kestrel-probe kestrel-host
build/release/kestrel-host --info "$@"
