#!/bin/sh
# Runs a Windows test program under 64-bit Wine in the build's own prefix.
# The prefix is created on first use (headless: Graphics=null) under a lock,
# so tests started in parallel never see a half-made prefix.
set -e
: "${W32_WINEPREFIX:?W32_WINEPREFIX must name the build's Wine prefix}"
export WINEPREFIX="$W32_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
WINE=/usr/lib/wine/wine64
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.w32-ready" ]; then
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
    touch "$WINEPREFIX/.w32-ready"
  fi
) 9>"$WINEPREFIX.lock"
exec "$WINE" "$@"
