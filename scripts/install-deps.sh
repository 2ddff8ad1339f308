#!/usr/bin/env bash
# Installs the Debian 12 packages Zevora needs to build, test and run.
# Idempotent and silent when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config python3
  libgtest-dev libgmock-dev libbenchmark-dev
  libsdl2-dev qt6-base-dev libgl-dev fonts-dejavu-core
  clang libclang-rt-14-dev
  xvfb xauth xdotool
  libsndfile1-dev flac
  exfat-fuse exfatprogs
  libopenmpt-dev libxmp-dev
  pulseaudio pulseaudio-utils
  groff-base man-db libc-l10n
  desktop-file-utils appstream x11-utils
  dpkg-dev file fakeroot lintian
  dbus-daemon dbus-bin libglib2.0-bin playerctl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
