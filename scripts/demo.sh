#!/usr/bin/env bash
# Runs the panel beside the simulated laser module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
scripts/build.sh release
echo "The panel and the module simulator are not built yet." >&2
exit 1
