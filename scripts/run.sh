#!/usr/bin/env bash
# Installs what is missing, builds the project and runs its main program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec ./build/default/tools/json/json --pretty samples/price-reply.json "$@"
