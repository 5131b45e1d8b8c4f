#!/bin/sh
# Starts or stops the Windows tests' Wine: `start` makes the private prefix (WINEPREFIX) on the
# first run and keeps its wineserver alive for a minute past its last program, so that each
# zqv.exe started meanwhile takes a fraction of a second instead of starting Wine's services
# anew; `stop` ends that wineserver. ZQV_WINESERVER is wineserver64. One run of the tests at a
# time: a second one's `stop` would end the first one's programs.
set -e
case "$1" in
  start)
    "$ZQV_WINESERVER" -p60 </dev/null >/dev/null 2>&1 || true
    # The services Wine starts with its first program live as long as the wineserver and keep
    # what that program was given, so it is given no pipe of CTest's to hold open.
    log="$WINEPREFIX.start.log"
    status=0
    "$ZQV_WINE" "$ZQV_EXE" --version </dev/null >"$log" 2>&1 || status=$?
    cat "$log"
    exit $status ;;
  stop) "$ZQV_WINESERVER" -k 2>/dev/null || true ;;  # none running is none to stop
  *) echo "usage: wine-session.sh start|stop" >&2; exit 2 ;;
esac
