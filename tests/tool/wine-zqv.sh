#!/bin/sh
# Runs zqv.exe under 64-bit Wine in the place of zqv, for test_zqv.py: ZQV_WINE is wine64,
# ZQV_EXE the program; WINEPREFIX and WINEDEBUG come from CTest.
exec "$ZQV_WINE" "$ZQV_EXE" "$@"
