#!/usr/bin/env bash
# Runs a Windows program under wine64, quiet and headless.
. "$(dirname "$0")/../scripts/lib.sh"
kw_wine_env
exec "${KW_WINE64:-$kw_wine/wine64}" "$@"
