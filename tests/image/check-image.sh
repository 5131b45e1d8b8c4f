#!/usr/bin/env bash
# Checks the shipped stub image: exactly HeaderOffset bytes, at most 88,064 of them linked, a PE32 i386 GUI program for
# subsystem and OS version 4.0, whose imports come only from kernel32, user32 and shell32 and
# name only functions in allowed-imports.txt (each one Windows 95 has).
#   check-image.sh OBJDUMP STUB ALLOWLIST
set -euo pipefail
objdump=$1 stub=$2 allow=$3
fail() { echo "check-image: $*" >&2; exit 1; }
[ -f "$stub" ] || fail "$stub is missing (cmake --build --preset stub)"
size=$(stat -c %s "$stub")
[ "$size" = 95232 ] || fail "$stub is $size bytes, not 95232"
# The linked image (the padding excluded) stays within 86 KiB: where its last section ends.
image=0
while read -r _ _ length _ _ offset _; do
  end=$((0x$offset + (0x$length + 511) / 512 * 512))
  [ $end -le $image ] || image=$end
done < <("$objdump" -h "$stub" | grep -E '^ +[0-9]+ ')
[ "$image" -le 88064 ] || fail "the linked image is $image bytes, over its budget of 88064"
dump=$("$objdump" -p "$stub")
grep -q 'file format pei-i386' <<<"$dump" || fail "not a PE32 i386 image"
grep -qE '^Magic[[:space:]]+010b' <<<"$dump" || fail "optional header is not PE32"
field() { awk -v k="$1" '$1 == k {print $2; exit}' <<<"$dump"; }
[ "$(field Subsystem)" = 00000002 ] || fail "subsystem is $(field Subsystem), not Windows GUI (2)"
for f in MajorOSystemVersion:4 MinorOSystemVersion:0 MajorSubsystemVersion:4 MinorSubsystemVersion:0; do
  [ "$(field "${f%%:*}")" = "${f##*:}" ] || fail "${f%%:*} is $(field "${f%%:*}"), not ${f##*:}"
done
# Imports as DLL:function, from the interpreted import tables.
imports=$(awk '/DLL Name:/ {dll=toupper($3); next}
               dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print dll ":" $3}
               /^$/ {if (seen) dll=""} {seen=1}' <<<"$dump" | sort -u)
[ -n "$imports" ] || fail "no imports found"
bad=$(comm -23 <(echo "$imports") <(grep -v '^#' "$allow" | grep . | sort -u) || true)
[ -z "$bad" ] || fail "imports outside the allow-list:"$'\n'"$bad"
dlls=$(cut -d: -f1 <<<"$imports" | sort -u | tr '\n' ' ')
echo "ok: $size bytes ($image of image), PE32 i386 GUI 4.0, $(wc -l <<<"$imports") imports from $dlls"
