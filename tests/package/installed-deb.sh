#!/usr/bin/env bash
# Installs build/package/zqv_*.deb with apt-get, as a user would, and uses the installed zqv with
# the source tree moved out of reach: build (no --stub), info, test and extract, the man page and
# the completion. It changes the system, so it is meant for a fresh machine (CI runs it in one);
# run as root.
set -euo pipefail
project=$(cd "$(dirname "$0")/../.." && pwd)
deb=$(ls "$project"/build/package/zqv_*_amd64.deb)
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "run as root: the package is installed system-wide"

work=$(mktemp -d)
cp "$deb" "$work/"
mv "$project" "$project.away"
trap 'mv "$project.away" "$project"; rm -rf "$work"' EXIT
cd "$work"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./$(basename "$deb")" >apt.log 2>&1 \
  || { tail -20 apt.log; fail "apt-get install"; }

[ "$(command -v zqv)" = /usr/bin/zqv ] || fail "zqv is not /usr/bin/zqv"
zqv --version
zqv --version | grep -qxF 'stub: /usr/bin/../share/zqv/zqvsfx.exe (installed, 95232 bytes)' \
  || fail "the installed zqv does not find the installed stub"
[ -f /usr/share/man/man1/zqv.1.gz ] && gzip -t /usr/share/man/man1/zqv.1.gz || fail "no gzipped man page"
[ -f /usr/share/bash-completion/completions/zqv ] || fail "no bash completion"
[ -f /usr/share/doc/zqv/copyright ] || fail "no copyright file"

head -c 1000000 /dev/urandom >report.bin
printf 'packaged pw\n' >pw.txt
zqv build report.bin -o report.exe --password-file pw.txt --title 'From the package'
zqv info report.exe
zqv test report.exe --password-file pw.txt -q
zqv extract report.exe -C out --password-file pw.txt
cmp report.bin out/report.bin || fail "the extracted file differs"
echo "package: installed with apt-get; zqv build, info, test and extract work without the source tree"
