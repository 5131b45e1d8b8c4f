#!/bin/sh
# Starts or stops the Windows tests' Wine. `start` makes the private prefix (WINEPREFIX) on the
# first run, then starts its wineserver anew to stay alive for a minute past its last program,
# and starts Wine's services under it: each zqv.exe started meanwhile then takes a fraction of a
# second, and none of them starts the services itself. (The services live as long as the
# wineserver and keep the output of the program they were started with: a test's pipe would
# stay open, and the test wait for its end, until the wineserver ended.) `stop` ends that
# wineserver. ZQV_WINESERVER is wineserver64. One run of the tests at a time: a second one's
# `stop` would end the first one's programs.
set -e
log="$WINEPREFIX.start.log"
case "$1" in
  start)
    status=0
    "$ZQV_WINE" "$ZQV_EXE" --version </dev/null >"$log" 2>&1 || status=$?  # makes the prefix
    "$ZQV_WINESERVER" -w  # the server that made it ends once its services have
    "$ZQV_WINESERVER" -p60 </dev/null >/dev/null 2>&1 || true
    [ $status != 0 ] || "$ZQV_WINE" "$ZQV_EXE" --version </dev/null >"$log" 2>&1 || status=$?
    cat "$log"
    exit $status ;;
  stop) "$ZQV_WINESERVER" -k 2>/dev/null || true ;;  # none running is none to stop
  *) echo "usage: wine-session.sh start|stop" >&2; exit 2 ;;
esac
