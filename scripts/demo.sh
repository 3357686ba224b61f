#!/usr/bin/env bash
# Builds everything and starts the tool.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
exec "$BUILD_DIR/bin/zamtu-batch"
