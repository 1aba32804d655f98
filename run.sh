#!/usr/bin/env bash
# Installs what is missing, builds, and renders the bundled sample.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure_packages.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
