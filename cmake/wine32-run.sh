#!/bin/sh
# Runs a 32-bit Windows program under wine, quiet and headless. On a host
# that cannot run i386 programs itself, binfmt_misc hands wine to qemu.
WINE=${KW_WINE32:-/usr/lib/wine/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY
exec "$WINE" "$@"
