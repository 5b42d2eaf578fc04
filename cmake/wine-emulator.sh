#!/bin/sh
# Runs a Windows program under Wine for CTest.
# Usage: wine-emulator.sh WINESERVER WINE PROGRAM [ARGUMENT...]
#
# Wine's server takes seconds to start and stops soon after its last
# program ends, which would charge those seconds to every short run of a
# test suite; asked to stay up for a minute after the last one, it charges
# them once.  The first program of a new server also starts Wine's
# background services, which keep that program's standard streams open
# for as long as they run: that first program is a throwaway one, with its
# streams on /dev/null, so that no test waits on a stream that never ends.
#
# Wine reads the Unix command line in the locale's character set: UTF-8,
# so that a name in any script reaches the program as it was typed.
export LC_ALL=C.UTF-8
# Wine's own diagnostics (its background services' "fixme" lines land on
# whatever program runs) belong to no test that reads standard error.
export WINEDEBUG=-all
wineserver=$1
wine=$2
shift 2
if "$wineserver" -p60 </dev/null >/dev/null 2>&1; then
  "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
fi
exec "$wine" "$@"
