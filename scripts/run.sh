#!/usr/bin/env bash
# Installs what is missing, builds Snapvane and starts it (the test pattern stands
# in for a camera when there is none; no display: Qt's offscreen platform).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSNAPVANE_TESTS=OFF
cmake --build "$here/build" --target snapvane
exec "$here/build/snapvane" "$@"
