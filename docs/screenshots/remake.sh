#!/usr/bin/env bash
# Remakes the README's screenshots (main-dialog.png, password-prompt.png and extracting.png in
# this folder) from the built stub and host tool, on a Wine virtual desktop under Xvfb. Needs
# both presets built:
#   cmake --build --preset stub && cmake --build --preset host
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exec "$root/tests/e2e/run-e2e.sh" --stub-build "$root/build/stub" --zqv "${ZQV:-$root/build/host/zqv}" \
  --work "${ZQV_E2E_WORK:-$root/build/host/tests/e2e/work}" --screenshots "$root/docs/screenshots"
