#!/usr/bin/env bash
# Builds ZKXMisc.dll and the test suite for Windows from the same sources and
# runs the suite under Wine: the library's tests against the DLL, the
# platform layer's tests against Wine's own Win32 API.
#
# The 32-bit DLL runs under wine32 where this machine runs i386 programs
# and Debian's i386 packages install; otherwise the 64-bit build runs under
# wine64, started through its own loader and server so that an installed
# wine32 cannot get in the way.  Either way the last line says which one ran
# and why.  A failed attempt at the i386 packages leaves apt as it found it;
# where i386 programs cannot run, the i386 architecture is never added.
#
#   scripts/test-wine.sh            install what is missing, build, run
#   scripts/test-wine.sh --choose   only print the path it would take, and why
#   ZKX_WINE_ARCH=x86_64 scripts/test-wine.sh   skip the 32-bit attempt
#
# The build, its Wine prefix and the logs go to build-wine/ (ZKX_WINE_BUILD).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${ZKX_WINE_BUILD:-build-wine}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
apt_log="$build/apt-i386.log"

# Tries Debian's 32-bit Wine.  On failure prints the reason and undoes the
# foreign architecture it added, so that later installs still work.
install_wine32() {
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    "$(dirname "$0")/install-deps.sh" wine g++-mingw-w64-i686 googletest cmake ninja-build >&2
    return 0
  fi
  local added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
    added=1
  fi
  : >"$apt_log"
  if timeout 600 $sudo_cmd apt-get update -qq >>"$apt_log" 2>&1 && ! grep -q '^E:' "$apt_log" &&
     DEBIAN_FRONTEND=noninteractive timeout 1200 $sudo_cmd apt-get install -y -qq \
       wine wine32:i386 g++-mingw-w64-i686 googletest cmake ninja-build >>"$apt_log" 2>&1; then
    return 0
  fi
  grep -m1 -E '^(E|W):' "$apt_log" | cut -c1-200 || echo "apt-get failed"
  if [ "$added" = 1 ]; then
    $sudo_cmd dpkg --remove-architecture i386 >>"$apt_log" 2>&1 || true
    timeout 600 $sudo_cmd apt-get update -qq >>"$apt_log" 2>&1 || true
  fi
  return 1
}

# Whether this kernel executes i386 programs.  Some machines install the
# i386 packages without complaint and then fail every 32-bit program with
# "Exec format error", so this runs one: the installed 32-bit wineserver, or
# else a 96-byte i386 ELF that only calls exit(0).  Prints why not, on failure.
# ZKX_WINE_SIMULATE_NO_I386 exists for the test of this script alone.
i386_runs() {
  if [ -n "${ZKX_WINE_SIMULATE_NO_I386:-}" ]; then
    echo "32-bit programs do not run here (simulated by ZKX_WINE_SIMULATE_NO_I386)"
    return 1
  fi
  local probe="/usr/lib/wine/wineserver32" out
  local args=(--version)
  if [ ! -x "$probe" ]; then
    probe="$build/i386-probe"
    args=()
    printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
      '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
      '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
      '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' \
      '\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00' \
      '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x00\x00\x00\x00\xcd\x80' >"$probe"
    chmod 755 "$probe"
  fi
  if out="$("$probe" "${args[@]}" 2>&1)"; then
    return 0
  fi
  # bash prefixes its own name and line number; the reason is what follows.
  echo "32-bit programs do not run here: $(printf '%s' "$out" | head -n 1 | sed 's/^.*line [0-9]*: //' | cut -c1-160)"
  return 1
}

arch="${ZKX_WINE_ARCH:-}"
reason=""
if [ -z "$arch" ]; then
  if ! reason="$(i386_runs)"; then
    arch=x86_64
  elif [ "${1:-}" = --choose ]; then
    arch=i686
  elif reason="$(install_wine32)"; then
    arch=i686
  else
    arch=x86_64
    reason="i386 packages not installable: $reason"
  fi
else
  reason="ZKX_WINE_ARCH=$arch"
fi
if [ "${1:-}" = --choose ]; then
  echo "$arch${reason:+ ($reason)}"
  exit 0
fi
# Wine's front-end scripts pick the 32-bit loader and server whenever wine32
# is installed, so the 64-bit path names its own; WINELOADER and WINESERVER
# also reach the processes that Wine starts for the tests.
if [ "$arch" = x86_64 ]; then
  "$(dirname "$0")/install-deps.sh" wine64 g++-mingw-w64-x86-64 googletest cmake ninja-build
  image=x86-64
  export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
else
  image=i386
  export WINELOADER="$(command -v wine)" WINESERVER="$(command -v wineserver)"
fi
export ZKX_WINE="$WINELOADER"

# A fresh prefix for every run, no crash dialog or debugger, and one
# wineserver for all the test processes, stopped at the end whatever happens.
export WINEPREFIX="$build/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export ZKX_WINE_TIMEOUT="${ZKX_WINE_TIMEOUT:-300}"
stop_wine() {
  timeout 30 "$WINESERVER" -k >/dev/null 2>&1 || true
  timeout 30 "$WINESERVER" -w >/dev/null 2>&1 || true
}
trap stop_wine EXIT
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
timeout 10 "$WINESERVER" -p
timeout 300 "$WINELOADER" wineboot -i >"$build/wineboot.log" 2>&1
timeout 60 "$WINELOADER" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f \
  >>"$build/wineboot.log" 2>&1 || true

cmake -S windows -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/windows/toolchain-$arch-w64-mingw32.cmake" \
  -DZKX_WINDOWS_TESTS=ON >/dev/null
cmake --build "$build"
"${arch}-w64-mingw32-objdump" -p "$build/ZKXMisc.dll" >"$build/ZKXMisc.objdump.txt"
ZKX_IMAGE="$image" scripts/check-windows-exports.sh "$build/ZKXMisc.present.def" \
  --listing "$build/ZKXMisc.objdump.txt"

# One test per Wine process, as on Linux one per process; one at a time,
# since Windows gives the kernel objects of a run no namespace of their own.
(cd "$build" && ctest --output-on-failure --timeout 180 -j 1)

if [ "$arch" = i686 ]; then
  echo "ran: 32-bit DLL under wine32"
else
  echo "ran: 64-bit build under wine64${reason:+ ($reason)}"
fi
