#!/usr/bin/env bash
# Builds everything and runs every test suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 600 "$@"
