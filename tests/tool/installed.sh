#!/usr/bin/env bash
# Installs the host build into a temporary prefix and uses the installed zqv as a user would:
# no --stub and no $ZQV_STUB, run from outside the source and build trees; then checks the man
# page and the bash completion that came with it.
# Usage: installed.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
zqv=$prefix/bin/zqv
for f in bin/zqv share/zqv/zqvsfx.exe share/man/man1/zqv.1 share/bash-completion/completions/zqv \
         share/doc/zqv/copyright; do
  [ -f "$prefix/$f" ] || fail "the install lacks $f"
done
[ "$(stat -c %s "$prefix/share/zqv/zqvsfx.exe")" = 95232 ] || fail "the installed stub is not 95,232 bytes"
grep -q '^\.TH "zqv" "1"' "$prefix/share/man/man1/zqv.1" || fail "zqv.1 is not a man page"

cd "$work"
unset ZQV_STUB
version=$("$zqv" --version)
expected="stub: $prefix/bin/../share/zqv/zqvsfx.exe (installed, 95232 bytes)"
grep -qxF "$expected" <<<"$version" || fail "zqv --version says '$version', not '$expected'"

head -c 300000 /dev/urandom >data.bin
printf 'installed pw\n' >pw.txt
"$zqv" build data.bin -o data.exe --cipher 3des --password-file pw.txt >/dev/null
cmp -n 95232 data.exe "$prefix/share/zqv/zqvsfx.exe" || fail "the archive does not start with the installed stub"
"$zqv" info data.exe | grep -q "cipher: *2 (Triple-DES)" || fail "zqv info does not name the cipher"
"$zqv" extract data.exe -C out --password-file pw.txt -q
cmp data.bin out/data.bin || fail "the extracted file differs"

# Without a stub anywhere, build says how to get one; --version says none was found.
mkdir -p bare/bin && cp "$zqv" bare/bin/
bare/bin/zqv --version | grep -qx 'stub: none found (give --stub FILE or set ZQV_STUB)' \
  || fail "zqv --version without a stub"
if bare/bin/zqv build data.bin -o bare.exe --password-file pw.txt 2>err.txt; then fail "built without a stub"; fi
grep -q 'no zqvsfx.exe found' err.txt || fail "build without a stub: $(cat err.txt)"
[ ! -e bare.exe ] || fail "a failed build left bare.exe"

# The completion: what each cursor position offers.
complete_line() {  # prints the words offered for the command line "$1" with the cursor at its end
  bash -c 'source "$1"; read -ra COMP_WORDS <<<"$2"; [[ $2 == *" " ]] && COMP_WORDS+=("");
           COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zqv; printf "%s\n" "${COMPREPLY[@]}" | sort | xargs' \
    _ "$prefix/share/bash-completion/completions/zqv" "$1"
}
expect_completion() {
  local got; got=$(complete_line "$1")
  [ "$got" = "$2" ] || fail "completing '$1' offers '$got', not '$2'"
}
mkdir -p dirs/alpha && touch dirs/afile
expect_completion 'zqv ex' 'extract'
expect_completion 'zqv build x --cipher aes' 'aes128 aes256'
expect_completion 'zqv build x --mode ' 'confirm overwrite skip'
expect_completion 'zqv extract a.exe --ov' '--overwrite'
expect_completion 'zqv info --' '--codepage --help --json'
expect_completion 'zqv extract a.exe -C dirs/a' 'dirs/alpha'
expect_completion 'zqv info dirs/a' 'dirs/afile dirs/alpha'
echo "installed zqv: round trip without --stub, man page and completion in place"
