#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
# A short run of every fuzz target (clang + libFuzzer) catches crashes the unit tests miss.
bash scripts/fuzz-smoke.sh 30
cmake --preset default
cmake --build --preset default
ctest --preset default
