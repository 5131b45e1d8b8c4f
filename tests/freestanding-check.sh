#!/usr/bin/env bash
# Compiles the portable core as the stub does (freestanding i686, no exceptions, no RTTI) and
# fails when a file does not compile or needs a C runtime function the stub does not provide.
set -euo pipefail
cxx=$1 src=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for f in "$src"/crypto/*.cpp "$src"/format/*.cpp; do
  "$cxx" -std=c++20 -Os -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables \
    -nostdlib -Wall -Wextra -Werror -I"$src" -c "$f" -o "$out/$(basename "$f").o"
done
# Everything the objects need must come from the core itself, the platform layer, or the
# stub's own runtime (memcpy, memset, memmove, memcmp) and libgcc (stack probes, 64-bit division).
i686-w64-mingw32-nm "$out"/*.o | awk '$1 == "U" {print $2}' | sort -u > "$out/undefined"
i686-w64-mingw32-nm --defined-only "$out"/*.o | awk '{print $3}' | sort -u > "$out/defined"
unresolved=$(comm -23 "$out/undefined" "$out/defined" |
  grep -v -E '^(__Z[0-9]+Platform|_mem(cpy|set|move|cmp)$|___chkstk_ms$|___(u)?(div|mod)di3$)' || true)
if [ -n "$unresolved" ]; then
  echo "the portable core needs symbols the stub does not provide:"; echo "$unresolved"; exit 1
fi
echo "portable core compiles freestanding"
