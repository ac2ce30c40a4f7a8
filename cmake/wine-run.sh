#!/bin/sh
# Runs a Windows program under Wine, quietly: no Wine debug output, and no offer to install
# Wine's .NET or HTML engines when the Wine prefix is first made.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -x /usr/lib/wine/wine64 ]; then
  exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"  # newer Wine packages have one program for both
