# Helpers for the @ lines of a scenario, which prepare its case folder before the harness runs.
# The runner puts this file in front of those lines and runs them with bash -eu in the folder.
# Set by the runner: CASE (the folder), WCASE (its Windows path), ZQV, STUB, PORTABLE_STUB (the
# stub built without its fast paths), E2E_BIN, WINEPREFIX, SIGNING (tests/signing/signing.py),
# SIGNING_KEYS (a folder of this run for its throwaway keys).

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
  "$ZQV" build "$input" -o "$output" --stub "${BUILD_STUB:-$STUB}" --password-file pw.txt "$@"
}

# build_portable INPUT OUTPUT [zqv build options]: as build, on the stub without its fast paths,
# for cases that act while the stub is still decrypting: its Triple-DES (about 26 MiB/s) leaves
# them seconds, where the fast paths could finish first.
build_portable() {
  [ -f "$PORTABLE_STUB" ] || { echo "$PORTABLE_STUB is missing (cmake --build --preset stub)"; return 1; }
  BUILD_STUB=$PORTABLE_STUB build "$@"
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

# sign KIND IN OUT: OUT is IN signed with Authenticode as users sign, by osslsigncode with a
# throwaway self-signed certificate; KIND is pem, pfx, dual or timestamped (see signing.py). The
# certificate is made by the first signing of a run and kept in the run's work folder only.
sign() {
  command -v osslsigncode >/dev/null || { echo "osslsigncode is not installed (scripts/bootstrap installs it)"; return 1; }
  python3 "$SIGNING" "$SIGNING_KEYS" "$1" "$2" "$3"
}

# flip FILE OFFSET: inverts every bit of the byte at an absolute offset, so that it surely changes.
flip() { poke "$1" "$2" $((255 ^ $(od -An -tu1 -j "$2" -N1 "$1"))); }

# cut_at FILE LENGTH: keeps the first LENGTH bytes.
cut_at() { truncate -s "$2" "$1"; }

# random FILE BYTES: a file of random bytes.
random() { mkdir -p "$(dirname "$1")" && head -c "$2" /dev/urandom >"$1"; }

# text FILE TEXT: a file holding exactly TEXT.
text() { mkdir -p "$(dirname "$1")" && printf '%s' "$2" >"$1"; }

# small_disk DIR KIB: mounts a tmpfs of KIB KiB at DIR, a small disk the stub can fill; the
# runner unmounts it. Where this machine refuses to mount, the case is skipped (status 77).
small_disk() {
  mkdir -p "$1"
  mount -t tmpfs -o "size=${2}k,mode=0777" zqv-e2e "$1" 2>/dev/null \
    || { echo "cannot mount a tmpfs here (needs root or CAP_SYS_ADMIN)"; exit 77; }
}

# read_only DIR: makes the small disk at DIR read-only, with what it holds now.
read_only() { mount -o remount,ro "$1"; }

# truncate_during ARCHIVE LENGTH FOLDER: once the stub's temporary file in FOLDER (zqv*.tmp) has
# passed 1 MiB, cuts ARCHIVE to LENGTH bytes while the stub is still reading it. Runs in the
# background for at most a minute.
truncate_during() {
  local archive=$1 length=$2 folder=$3
  (
    for _ in $(seq 6000); do
      for f in "$folder"/zqv*.tmp; do
        if [ -f "$f" ] && [ "$(stat -c %s "$f")" -gt 1048576 ]; then
          truncate -s "$length" "$archive"
          echo "cut $archive to $length bytes while $f held $(stat -c %s "$f") bytes" >truncated.log
          exit 0
        fi
      done
      sleep 0.01
    done
  ) </dev/null >/dev/null 2>&1 &
  disown
}
