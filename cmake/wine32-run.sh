#!/usr/bin/env bash
# Runs a 32-bit Windows program under wine, quiet and headless. On a host
# that cannot run i386 programs itself, binfmt_misc hands wine to qemu.
. "$(dirname "$0")/../scripts/lib.sh"
kw_wine_env
exec "${KW_WINE32:-$kw_wine/wine}" "$@"
