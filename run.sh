#!/usr/bin/env bash
# Installs what is missing, builds Zevora and starts the player: the window
# when there is a display, otherwise the built-in demo through zevora-cli.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
# A machine without any sound device (a server, a container) plays through
# SDL's silent dummy driver rather than stopping at "DirectSound error".
runtime=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
if [ -z "${SDL_AUDIODRIVER:-}" ] && [ ! -e /dev/snd ] && [ ! -S "$runtime/pulse/native" ] && [ ! -S "$runtime/pipewire-0" ]; then
  echo "No sound device found: playing silently (set SDL_AUDIODRIVER to choose a driver)." >&2
  export SDL_AUDIODRIVER=dummy
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/app/zevora ]; then
  exec build/app/zevora "$@"
fi
echo "No display: playing the built-in demo through zevora-cli (Ctrl-C to stop)." >&2
exec build/tools/zevora-cli play "$@"
