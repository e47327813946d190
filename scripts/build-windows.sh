#!/usr/bin/env bash
# Cross-builds the 32-bit ZKXMisc.dll with Debian's mingw-w64 toolchain and
# checks its export directory against src/ZKXMisc/ZKXMisc.def.
#
#   scripts/build-windows.sh            every export of the table must exist
#   scripts/build-windows.sh --partial  build with the exports that exist so
#                                       far; the others are listed, and the
#                                       DLL must export exactly the rest
#
# The build goes to build-windows/ (ZKX_WINDOWS_BUILD overrides it).  It
# installs what is missing, like scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

strict=ON
case "${1:-}" in
  "") ;;
  --partial) strict=OFF ;;
  *) echo "usage: $0 [--partial]" >&2; exit 2 ;;
esac

"$(dirname "$0")/install-deps.sh" cmake ninja-build g++-mingw-w64-i686

# The two tools below decide what the DLL exports and whether it passes;
# they check themselves first, on made-up input.
windows/tests/export_tools_test.sh

build="${ZKX_WINDOWS_BUILD:-build-windows}"
cmake -S windows -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/windows/toolchain-i686-w64-mingw32.cmake" \
  -DZKX_STRICT_EXPORTS="$strict" >/dev/null
cmake --build "$build"

table=src/ZKXMisc/ZKXMisc.def
if [ "$strict" = ON ]; then
  expected="$table"
else
  expected="$build/ZKXMisc.present.def"
  if [ -s "$build/ZKXMisc.missing.txt" ]; then
    echo "not defined yet, so not exported ($(wc -l <"$build/ZKXMisc.missing.txt") of the table):"
    tr '\n' ' ' <"$build/ZKXMisc.missing.txt" | fold -s -w 76 | sed 's/^/  /'
    echo
  fi
fi
# The listing stays beside the DLL for whoever wants to read the directory.
i686-w64-mingw32-objdump -p "$build/ZKXMisc.dll" >"$build/ZKXMisc.objdump.txt"
scripts/check-windows-exports.sh "$expected" --listing "$build/ZKXMisc.objdump.txt"
if grep -q '_ZKShMemIndexAddress@8' "$expected"; then
  echo "decorated export _ZKShMemIndexAddress@8 present"
fi

# A caller linked through the import library must import exactly the DLL's
# names (the decorated symbols of its objects mapped to the plain names).
table_names() { sed -n '/^EXPORTS/,$p' "$1" | sed 's/;.*//' | awk 'NF == 2 { print $1 }' | sort; }
probe_imports() {
  i686-w64-mingw32-objdump -p "$1" |
    awk '/DLL Name: ZKXMisc.dll/ { on = 1; next } /DLL Name:/ { on = 0 }
         on && /^\t[0-9a-f]+\t/ { print $NF }' | sort
}
if ! diff <(table_names "$expected") <(probe_imports "$build/zkxmisc_link_probe.exe") >"$build/probe.diff"; then
  echo "the import library does not give callers the DLL's names (< table, > imported):" >&2
  cat "$build/probe.diff" >&2
  exit 1
fi
echo "import library: a caller imports all $(table_names "$expected" | wc -l) exports by their names"
echo "built $build/ZKXMisc.dll and its import library $build/libZKXMisc.dll.a"
