#!/usr/bin/env bash
# Installs what is missing, builds, and starts Bokavo. It runs from the repository folder;
# the default diaphragm lies beside the built programs, where Bokavo looks for it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure_packages.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Bokavo is a desktop program and needs a display, but neither DISPLAY nor" >&2
    echo "WAYLAND_DISPLAY is set: start it from a desktop session (X11 or Wayland)." >&2
    echo "The command-line renderer needs no display: build/release/bin/bokavo-render" >&2
    exit 1
fi
exec build/release/bin/bokavo
