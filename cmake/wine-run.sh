#!/bin/sh
# Runs a Windows program under wine64, quiet and headless.
WINE64=${KW_WINE64:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY
exec "$WINE64" "$@"
