#!/bin/sh
# Runs a Windows program under Wine, quietly: no Wine debug output, and no offer to install
# Wine's .NET or HTML engines when the Wine prefix is first made.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec /usr/lib/wine/wine64 "$@"
