#!/usr/bin/env bash
# Pictures of every window and view for the documentation, taken on a real X server (Xvfb) with
# two emulated boxes: docs/screenshots/*.png.
# Usage: scripts/screenshots.sh [BUILD_FOLDER]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/plain}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target screenshots
QT_LOGGING_RULES="quarnel.debug.debug=false" xvfb-run -a -s '-screen 0 1280x800x24' \
    "$build/tools/screenshots/screenshots" "$root/data/install.sh" "$root/docs/screenshots"
