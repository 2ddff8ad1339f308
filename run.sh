#!/usr/bin/env bash
# Installs what is missing, builds Zevora and starts the player: the window
# when there is a display, otherwise the built-in demo through zevora-cli.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/app/zevora ]; then
  exec build/app/zevora "$@"
fi
echo "No display: playing the built-in demo (Ctrl-C to stop)." >&2
exec build/tools/zevora-cli play "$@"
