#!/usr/bin/env bash
# Runs the end-to-end scenarios of one group against the real zqvsfx.exe under Wine, on a private
# X server (Xvfb) and a private Wine prefix, or takes the README's screenshots.
#
#   run-e2e.sh --stub-build DIR --zqv ZQV --work DIR --group NAME     one group of scenarios
#                                                  (NAME with a slash: a folder of scenarios)
#   run-e2e.sh --stub-build DIR --zqv ZQV --work DIR --prepare        only make the Wine prefix
#   run-e2e.sh --stub-build DIR --zqv ZQV --work DIR --screenshots OUT
#   run-e2e.sh --stub-build DIR --zqv ZQV --work DIR --run PROGRAM    a Windows test program
#
# DIR of --stub-build is the build folder of the stub preset (zqvsfx.exe, and tests/e2e with the
# harness and the probe). --stub FILE runs the scenarios with another padded stub instead of
# DIR/zqvsfx.exe (an older build, or one without its fast paths). Scenarios live in scenarios/GROUP/*.zqs beside this script; README.md
# describes their language. Each scenario runs in its own folder under WORK/cases/GROUP.
#
# Environment: ZQV_E2E_SLOW (the factor for waits; set here under emulation), ZQV_WINEDEBUG
# (Wine's debug channels, -all by default), CI (true: fail where the run would be skipped).
#
# Exit status: 0 when every scenario passed, 1 otherwise or when something needed is missing,
# 77 (skipped) where 32-bit programs cannot run at all.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
stub_build="" stub="" zqv="" work="" group="" mode="" program=""
shots_out=""
arguments=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --stub-build) stub_build=$2; shift 2 ;;
    --stub) stub=$2; shift 2 ;;
    --zqv) zqv=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --group) group=$2; mode=group; shift 2 ;;
    --prepare) mode=prepare; shift ;;
    --run) program=$2; mode=run; shift 2 ;;
    --screenshots) shots_out=$2; mode=screenshots; shift 2 ;;
    -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-e2e: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ -n "$mode" ] && [ -n "$stub_build" ] && [ -n "$work" ] || { echo "run-e2e: missing arguments (see --help)" >&2; exit 2; }

die() { echo "run-e2e: $*" >&2; exit 1; }

# The Wine to run: the machine's own when it has its 32-bit half (Debian's wine32:i386), else
# the project's own that scripts/bootstrap makes where wine32:i386 cannot be installed.
project=$(cd "$here/../.." && pwd)
in_wine=()
if [ ! -x /usr/lib/wine/wine ] && "$project/scripts/wine-env" ready; then
  # One session for the whole run: its wineserver and what the cases mount are seen inside.
  [ -n "${ZQV_WINE_ENV:-}" ] || exec "$project/scripts/wine-env" session "$0" "${arguments[@]}"
  in_wine=("$project/scripts/wine-env" run)
fi
wine() { command "${in_wine[@]}" wine "$@"; }
wineserver() { command "${in_wine[@]}" wineserver "$@"; }

# Everything this run needs, checked up front so that a missing piece fails at once and clearly.
for tool in Xvfb timeout flock setpriv; do
  command -v "$tool" >/dev/null || die "$tool is not installed (scripts/bootstrap installs it)"
done
"${in_wine[@]}" /bin/sh -c 'command -v wine && command -v wineserver && command -v wineboot' >/dev/null \
  || die "Wine is not installed (scripts/bootstrap installs it)"
# The stub is a 32-bit program, and so is the Wine loader that runs it. A kernel without 32-bit
# support (some virtual machines) refuses them with "Exec format error" unless an emulator is
# registered for them, as scripts/bootstrap does. Without either the run is skipped (exit 77),
# saying why; in CI that fails instead, since the stub must not land unproven.
if ! "${in_wine[@]}" /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
  reason="this kernel does not run 32-bit programs and no emulator is registered for them (scripts/bootstrap registers qemu-i386), so Wine cannot run the stub here"
  if [ "${CI:-}" = true ]; then die "$reason; in CI a Wine test may not be skipped"; fi
  echo "run-e2e: SKIP: $reason" >&2
  exit 77
fi
# Under user-mode emulation (a binfmt_misc entry serves i386 programs) the 32-bit Wine processes
# run several times slower than natively. The harness's waits and the timeouts here, set for
# native speed, stretch by one factor, so that a slow start is not read as a failure while a hang
# still ends; what each scenario checks stays the same. ZQV_E2E_SLOW set by the caller wins.
if [ -z "${ZQV_E2E_SLOW:-}" ]; then
  ZQV_E2E_SLOW=1
  for entry in /proc/sys/fs/binfmt_misc/*; do
    grep -qsx enabled "$entry" && grep -qs '^magic 7f454c46010101000000000000000000020003' "$entry" \
      && ZQV_E2E_SLOW=5
  done
fi
export ZQV_E2E_SLOW
[ "$ZQV_E2E_SLOW" = 1 ] || echo "run-e2e: 32-bit programs run under an emulator here; waits stretched $ZQV_E2E_SLOW times"
slow() { echo $(($1 * ZQV_E2E_SLOW)); }  # SECONDS at native speed
stub_build=$(cd "$stub_build" 2>/dev/null && pwd) || die "no stub build folder (run: cmake --preset stub && cmake --build --preset stub)"
STUB=$stub_build/zqvsfx.exe
[ -z "$stub" ] || STUB=$(realpath -m "$stub")
E2E_BIN=$stub_build/tests/e2e
HARNESS=$E2E_BIN/zqv_e2e_harness.exe
[ -f "$STUB" ] || die "$STUB is missing (run: cmake --build --preset stub)"
[ "$(stat -c %s "$STUB")" = 95232 ] || die "$STUB is not 95232 bytes long"
[ -f "$HARNESS" ] || die "$HARNESS is missing (run: cmake --build --preset stub)"
[ -f "$E2E_BIN/zqv_e2e_probe.exe" ] || die "$E2E_BIN/zqv_e2e_probe.exe is missing"
if [ "$mode" != prepare ] && [ "$mode" != run ]; then
  [ -x "$zqv" ] || die "the host tool ${zqv:-zqv} is missing (run: cmake --build --preset host)"
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)

export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=${ZQV_WINEDEBUG:--all}
# No Mono or Gecko installer dialogs; the stub needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINELOADER WINESERVER

xvfb_pid=""
cleanup() {
  # Ends only what this run started: the wineserver of this private prefix and this Xvfb.
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A private X server on a display nobody uses; Xvfb picks it and reports it on fd 3.
start_xvfb() {
  local display_file=$work/display.$$
  rm -f "$display_file"
  # It ends with this run even when the run is killed and cannot clean up: a server left behind
  # keeps its root busy (a chroot could then not be unmounted).
  setpriv --pdeathsig TERM Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" \
    >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb did not start: $(tail -3 "$work/xvfb.log")"
    sleep 0.1
  done
  [ -s "$display_file" ] || die "Xvfb reported no display within 10 s"
  export DISPLAY=:$(cat "$display_file")
  rm -f "$display_file"
}

# The Wine prefix is made once per work folder and shared by all groups; a lock keeps two runs
# from making it at the same time.
prepare_prefix() {
  exec 9>"$work/prefix.lock"
  flock -w "$(slow 120)" 9 || die "the Wine prefix stays locked by another run"
  if [ ! -f "$WINEPREFIX/.zqv-e2e-ready" ]; then
    echo "run-e2e: making the Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    timeout "$(slow 120)" "${in_wine[@]}" wineboot -i >"$work/wineboot.log" 2>&1 || die "wineboot failed: $(tail -5 "$work/wineboot.log")"
    timeout "$(slow 60)" "${in_wine[@]}" wineserver -w || true
    touch "$WINEPREFIX/.zqv-e2e-ready"
  fi
  if [ ! -f "$WINEPREFIX/.zqv-e2e-unmanaged" ]; then
    # Xvfb runs no window manager, and Wine waits 2 s for one each time a managed window is
    # hidden ("wait_for_withdrawn_state ... timed out"); unmanaged windows skip that wait.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$work/wineboot.log" 2>&1 \
      || die "cannot set the X11 driver's Managed=N: $(tail -3 "$work/wineboot.log")"
    timeout "$(slow 60)" "${in_wine[@]}" wineserver -w || true
    touch "$WINEPREFIX/.zqv-e2e-unmanaged"
  fi
  flock -u 9
}

# A Windows path for a Unix path: Wine maps drive Z: to the root.
wpath() {
  local p
  p=$(realpath -m "$1")
  printf 'Z:%s' "${p//\//\\}"
}

# Unmounts the small file systems that cases mounted below a folder (see small_disk).
unmount_below() { # DIR
  local dir
  dir=$(realpath -m "$1")
  { findmnt -rn -o TARGET | grep -F "$dir/" || true; } | sort -r | while read -r m; do umount "$m" || true; done
}

# Prepares a case folder: copies the scenario and runs its @ lines (bash, with the helpers of
# case-helpers.sh) inside it, in a shell of their own that stops at the first failing line.
# Status 77 from the lines means the machine cannot run the case (see small_disk).
prepare_case() { # SCRIPT CASEDIR
  local script=$1 case_dir=$2
  unmount_below "$case_dir"
  rm -rf "$case_dir"
  mkdir -p "$case_dir"
  cp "$script" "$case_dir/scenario.zqs"
  {
    cat "$here/case-helpers.sh"
    grep -E '^[[:space:]]*@' "$script" | sed -E 's/^[[:space:]]*@[[:space:]]?//' || true
  } >"$case_dir/setup.sh"
  (cd "$case_dir" && CASE=$case_dir WCASE=$(wpath "$case_dir") ZQV=$zqv STUB=$STUB \
    PORTABLE_STUB=$stub_build/zqvsfx-portable.exe E2E_BIN=$E2E_BIN \
    SIGNING=$project/tests/signing/signing.py SIGNING_KEYS=$signing_keys bash -euo pipefail setup.sh) \
    >"$case_dir/setup.log" 2>&1
}

# The throwaway signing certificate of this run, made by the first case that signs (see sign in
# case-helpers.sh): made afresh each run, so that none outlives its 30 days of validity.
signing_keys=$work/signing-keys

run_group() {
  rm -rf "$signing_keys"
  local dir=$here/scenarios/$group
  case $group in */*) dir=$group; group=$(basename "$group") ;; esac  # a folder of scenarios
  [ -d "$dir" ] || die "no scenario group $group"
  local scripts=() setup_failed=0 name
  for script in "$dir"/*.zqs; do
    name=$(basename "$script" .zqs)
    local case_dir=$work/cases/$group/$name
    local prepared=0
    prepare_case "$script" "$case_dir" || prepared=$?
    if [ $prepared -eq 0 ]; then
      scripts+=("$(wpath "$case_dir/scenario.zqs")")
    elif [ $prepared -eq 77 ]; then
      echo "SKIP $name: $(tail -1 "$case_dir/setup.log")"
    else
      echo "FAIL $name: setup failed:"
      sed 's/^/    /' "$case_dir/setup.log"
      setup_failed=$((setup_failed + 1))
    fi
  done
  local status=0
  if [ ${#scripts[@]} -gt 0 ]; then
    # One Wine process runs every scenario of the group; the harness bounds each wait itself,
    # the outer timeout only guards against Wine itself hanging.
    # A group may limit the size of files its Wine process writes (a full disk, as the stub sees
    # it); the signal is ignored so that the write fails instead of killing the process.
    local limit=unlimited
    [ -f "$dir/fsize-limit-kib" ] && limit=$(cat "$dir/fsize-limit-kib")
    (trap '' XFSZ; ulimit -f "$limit"; exec timeout "$(slow 300)" "${in_wine[@]}" wine "$HARNESS" "${scripts[@]}") \
      </dev/null 2>"$work/wine-$group.log" || status=$?
    if [ $status -gt 1 ]; then
      echo "run-e2e: the harness failed with status $status; Wine said:"
      tail -20 "$work/wine-$group.log"
    fi
  fi
  unmount_below "$work/cases/$group"
  [ $setup_failed -eq 0 ] && [ $status -eq 0 ]
}

# Screenshots of the main dialog, the password prompt and an extraction on a Wine virtual desktop.
run_screenshots() {
  command -v import >/dev/null || die "import (imagemagick) is not installed"
  local case_dir=$work/cases/screenshots/shots
  prepare_case "$here/screenshots.zqs" "$case_dir" || { cat "$case_dir/setup.log"; die "screenshot setup failed"; }
  mkdir -p "$shots_out"
  timeout "$(slow 120)" "${in_wine[@]}" wine explorer /desktop=zqv,560x300 "$HARNESS" "$(wpath "$case_dir/scenario.zqs")" </dev/null \
    2>"$work/wine-screenshots.log" &
  local wine_pid=$!
  for shot in main-dialog password-prompt extracting; do
    for _ in $(seq "$(slow 600)"); do
      [ -f "$case_dir/$shot.ready" ] && break
      kill -0 $wine_pid 2>/dev/null || die "the harness ended before the $shot was ready"
      sleep 0.1
    done
    [ -f "$case_dir/$shot.ready" ] || die "the $shot never became ready"
    import -window root -crop 560x300+0+0 +repage "$shots_out/$shot.png"
    touch "$case_dir/$shot.taken"
  done
  wait $wine_pid || die "the screenshot scenario failed"
  echo "run-e2e: screenshots in $shots_out"
}

start_xvfb
prepare_prefix
[ "$mode" = prepare ] && exit 0
wineserver -p 60 # keeps one wineserver alive between the Wine processes of this run
case "$mode" in
  group) run_group ;;
  screenshots) run_screenshots ;;
  run) [ -f "$program" ] || die "$program is missing (run: cmake --build --preset stub)"
       timeout "$(slow 120)" "${in_wine[@]}" wine "$program" </dev/null ;;
esac
