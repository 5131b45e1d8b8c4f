#!/usr/bin/env bash
# Remakes the web page's screenshots (web-*.png here) in headless Chromium: the browser tests
# take one of each of the page's states when ZQV_WEB_SHOTS names a folder. Needs the stub, web
# and host presets built.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZQV_WEB_SHOTS=$PWD/docs/screenshots ZQV_WEB_PAGE=$PWD/build/web/index.html ZQV_WEB_ZQV=$PWD/build/host/zqv
for group in open make isolation; do
  mkdir -p "$work/$group"
  ZQV_WEB_WORK=$work/$group /usr/bin/python3 tests/web/test_page.py "$group"
done
