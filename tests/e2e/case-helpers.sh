# Helpers for the @ lines of a scenario, which prepare its case folder before the harness runs.
# The runner puts this file in front of those lines and runs them with bash -eu in the folder.
# Set by the runner: CASE (the folder), WCASE (its Windows path), ZQV, STUB, E2E_BIN, WINEPREFIX.

H=95232 # HeaderOffset: where the archive header starts
B=96064 # BodyOffset: where the encrypted body starts

# A Windows path for a Unix path: Wine maps drive Z: to the root.
wpath() {
  local p
  p=$(realpath -m "$1")
  printf 'Z:%s' "${p//\//\\}"
}

# The password that build uses (the first line of pw.txt); "secret" when none was set.
password() { printf '%s\n' "$1" >pw.txt; }

# build INPUT OUTPUT [zqv build options]: a self-extractor made by the host tool.
build() {
  local input=$1 output=$2
  shift 2
  [ -f pw.txt ] || password secret
  "$ZQV" build "$input" -o "$output" --stub "$STUB" --password-file pw.txt "$@"
}

# poke FILE OFFSET BYTE...: writes bytes (decimal) at an absolute file offset.
poke() {
  local file=$1 offset=$2 byte
  shift 2
  for byte in "$@"; do
    printf "\\x$(printf %02x "$byte")" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
    offset=$((offset + 1))
  done
}

# cut_at FILE LENGTH: keeps the first LENGTH bytes.
cut_at() { truncate -s "$2" "$1"; }

# random FILE BYTES: a file of random bytes.
random() { mkdir -p "$(dirname "$1")" && head -c "$2" /dev/urandom >"$1"; }

# text FILE TEXT: a file holding exactly TEXT.
text() { mkdir -p "$(dirname "$1")" && printf '%s' "$2" >"$1"; }
