#!/usr/bin/env bash
# Installs what is missing, builds the application and runs it. Without a configured service
# it starts its built-in demo parking service; pass --parking-service URL to use another.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default --target estacionamiento
app=./build/default/src/main/estacionamiento
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]; then
  exec "$app" "$@"
fi
echo "run.sh: no display here; running on a virtual X display (xvfb-run)" >&2
exec xvfb-run -a "$app" "$@"
