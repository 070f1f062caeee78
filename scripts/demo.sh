#!/usr/bin/env bash
# The main job: builds the setup and runs it silently in a throwaway Wine prefix, then prints its
# exit code, where the files went and its log. The prefix is removed afterwards.
# With --uninstall first, the installed ZelvanUninstall.exe is then run silently as Apps & Features
# would run it, and what is left of the install is shown.
# With --window first, the setup runs interactively instead: its drawn wizard appears on $DISPLAY
# (or, without one, on a private Xvfb whose screen is saved as a picture every few seconds, see below).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
uninstall=0
window=0
if [ "${1:-}" = "--uninstall" ]; then uninstall=1; shift; fi
if [ "${1:-}" = "--window" ]; then window=1; shift; fi
"$root/scripts/bootstrap.sh"
build=${ZS_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "Building in $build ..."
if ! cmake --build "$build" >"$build/demo-build.log" 2>&1; then
  tail -40 "$build/demo-build.log"
  echo "The build failed; the whole output is in $build/demo-build.log" >&2
  exit 1
fi

setup="$build/examples/zelvan/ZelvanSetup.exe"
[ -f "$setup" ] || setup="$build/src/app/ZelvanSetup.exe"

work=$(mktemp -d /tmp/zelvan-demo.XXXXXX)
prefix="$work/prefix"
trap '"$root/scripts/wine-prefix" remove "$prefix"; rm -rf "$work"' EXIT
echo "Making a throwaway Wine prefix in $prefix ..."
"$root/scripts/wine-prefix" template "$prefix"

if [ "$window" = 1 ]; then
  # No window manager is needed: Wine draws the frames itself then.
  WINEPREFIX="$prefix" WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  shots="$build/artifacts/demo"
  if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=:77
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null; "$root/scripts/wine-prefix" remove "$prefix"; rm -rf "$work"' EXIT
    sleep 1
    mkdir -p "$shots"
    echo "No \$DISPLAY: the wizard runs on a private Xvfb; its screen is saved every 2 s as $shots/screen-N.png."
    echo "Drive it with xdotool on DISPLAY=$DISPLAY, for example: DISPLAY=$DISPLAY xdotool key space Return Return"
    ( n=0; while kill -0 $xvfb 2>/dev/null; do
        xwd -root -silent 2>/dev/null | convert xwd:- "$shots/screen-$n.png" 2>/dev/null; n=$((n + 1)); sleep 2; done ) &
  fi
  echo "Running: ZelvanSetup.exe $* (interactive; close the window to end)"
  set +e
  WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" wine "$setup" "$@"
  code=$?
  set -e
else
  echo "Running: ZelvanSetup.exe /silent $*"
  set +e
  WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" wine "$setup" /silent "$@"
  code=$?
  set -e
fi
WINEPREFIX="$prefix" wineserver -w || true
echo "Exit code: $code"

drive="$prefix/drive_c"
for dir in "$drive/Program Files/Zelvan" "$drive/Program Files (x86)/Zelvan"; do
  if [ -d "$dir" ]; then
    echo "Installed files under ${dir#$drive/}:"
    (cd "$dir" && find . -type f | sort | sed 's|^\./|  |')
  fi
done
# The prefix's user folders are real folders (see scripts/wine-prefix), so the user's first-run
# files and folders are made as on Windows.
for user in "$drive"/users/*; do
  for dir in "$user/Documents/Zelvan" "$user/AppData/Roaming/Zelvan"; do
    if [ -d "$dir" ]; then
      echo "For the user, under ${dir#$drive/}:"
      (cd "$dir" && find . -mindepth 1 | sort | sed 's|^\./|  |')
    fi
  done
done
for log in "$drive"/ProgramData/ZelvanSetup/*.log; do
  [ -f "$log" ] || continue
  echo "Log: C:\\ProgramData\\ZelvanSetup\\$(basename "$log")"
  sed 's/^\xEF\xBB\xBF//; s/\r$//; s/^/  /' "$log"
done
if [ "$uninstall" = 1 ] && [ "$code" = 0 ]; then
  echo "Running: C:\Program Files\Zelvan\ZelvanUninstall.exe /silent"
  set +e
  WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" wine "C:\\Program Files\\Zelvan\\ZelvanUninstall.exe" /silent
  ucode=$?
  set -e
  # The installed uninstaller hands over to its copy and ends at once; the copy does the work.
  WINEPREFIX="$prefix" wineserver -w || true
  echo "Exit code of the launching uninstaller: $ucode"
  if [ -e "$drive/Program Files/Zelvan" ]; then
    echo "Still there:"; (cd "$drive/Program Files/Zelvan" && find . | sort | sed 's|^\./|  |')
  else
    echo "C:\Program Files\Zelvan is gone."
  fi
  for log in "$drive"/ProgramData/ZelvanSetup/Zelvan-Uninstall-*.log; do
    [ -f "$log" ] || continue
    echo "Log: C:\\ProgramData\\ZelvanSetup\\$(basename "$log")"
    sed 's/^\xEF\xBB\xBF//; s/\r$//; s/^/  /' "$log"
  done
fi
exit "$code"
