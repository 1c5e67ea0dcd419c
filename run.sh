#!/usr/bin/env bash
# ./run.sh ARGS...   runs build/Updater ARGS... (set-up and build when needed)
# ./run.sh demo      runs the main job against the built-in emulated peers
# ./run.sh demo usb  the same with the modules on an emulated USB bus
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/scripts/setup" >&2
"$here/build.sh" build >&2
if [ "${1:-}" = "demo" ]; then
  shift
  exec bash "$here/scripts/demo" "$@"
fi
exec "$here/build/Updater" "$@"
