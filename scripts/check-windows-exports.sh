#!/usr/bin/env bash
# Checks the export directory of the 32-bit ZKXMisc.dll against a
# module-definition file: exactly the file's names, each under its ordinal,
# the ordinals starting at the file's lowest, nothing exported by ordinal
# alone, and no import from a DLL that a bare Windows system lacks (the
# compiler's runtime must be linked in statically).
#
#   scripts/check-windows-exports.sh DEF ZKXMisc.dll
#   scripts/check-windows-exports.sh DEF --listing FILE   (saved objdump -p output)
#
# The directory is read as "i686-w64-mingw32-objdump -p" prints it
# (OBJDUMP overrides the tool).  ZKX_IMAGE=x86-64 expects the 64-bit DLL
# (PE32+) that the Wine run builds instead of the 32-bit one.  Exit 0 when everything matches, 1 with one
# line per difference otherwise, 2 on a usage error.
set -euo pipefail

usage() { echo "usage: $0 DEF (DLL | --listing FILE)" >&2; exit 2; }
[ $# -ge 2 ] || usage
def="$1"
if [ "$2" = "--listing" ]; then
  [ $# -eq 3 ] || usage
  listing="$3"
  dll_label="$3"
else
  [ $# -eq 2 ] || usage
  dll_label="$2"
  listing="$(mktemp)"
  trap 'rm -f "$listing"' EXIT
  "${OBJDUMP:-i686-w64-mingw32-objdump}" -p "$2" >"$listing"
fi
[ -r "$def" ] || { echo "cannot read $def" >&2; exit 2; }
[ -r "$listing" ] || { echo "cannot read $listing" >&2; exit 2; }

# Libraries that every 32-bit Windows system has.
allowed_imports="kernel32.dll user32.dll advapi32.dll msvcrt.dll"
case "${ZKX_IMAGE:-i386}" in
  i386) want_format=pei-i386 want_magic=010b ;;
  x86-64) want_format=pei-x86-64 want_magic=020b ;;
  *) echo "ZKX_IMAGE must be i386 or x86-64" >&2; exit 2 ;;
esac

awk -v allowed="$allowed_imports" -v dll_label="$dll_label" \
    -v want_format="$want_format" -v want_magic="$want_magic" '
function fail(msg) { print "  " msg; failures++ }

# --- the module-definition file -------------------------------------------
FNR == NR {
  sub(/;.*/, ""); gsub(/^[ \t]+|[ \t\r]+$/, "")
  if ($0 == "") next
  if ($1 == "LIBRARY") { library = $2; gsub(/"/, "", library); next }
  if ($0 == "EXPORTS") { in_exports = 1; next }
  if (!in_exports) next
  if (NF != 2 || $2 !~ /^@[0-9]+$/) { fail("cannot read the export line \"" $0 "\""); next }
  name = $1; ord = substr($2, 2) + 0
  if (name in want) fail("the table lists " name " twice")
  if (ord in want_by_ord) fail("the table gives ordinal " ord " to " want_by_ord[ord] " and " name)
  want[name] = ord; want_by_ord[ord] = name; wanted++
  if (lowest == "" || ord < lowest) lowest = ord
  next
}

# --- the objdump listing ----------------------------------------------------
/file format / { format = $NF }
/^Magic[ \t]/ { magic = $2 }
/^Characteristics/ { in_chars = 1; next }
in_chars && /^\t/ { if ($1 == "DLL") is_dll = 1; next }
in_chars { in_chars = 0 }
/^\tDLL Name: / { imports[tolower($3)] = 1 }
/^The Export Tables/ { have_exports = 1 }
/^Name[ \t]+[0-9a-fA-F]+[ \t]/ && have_exports && export_name == "" { export_name = $3 }
/^Ordinal Base/ { base = $3 + 0 }
/^Export Address Table -- / { section = "eat"; next }
/^\[Ordinal\/Name Pointer\] Table/ { section = "names"; next }
/^$/ { section = "" }
section == "eat" && match($0, /\+base\[ *[0-9]+\]/) {
  o = substr($0, RSTART, RLENGTH); gsub(/[^0-9]/, "", o)
  if ($0 ~ /Forwarder/) fail("ordinal " o " is forwarded to another DLL")
  in_eat[o + 0] = 1
  next
}
section == "names" && /^[ \t]*\[ *[0-9]+\]/ {
  line = $0
  match(line, /\[ *[0-9]+\]/)
  idx = substr(line, RSTART + 1, RLENGTH - 2) + 0
  rest = substr(line, RSTART + RLENGTH)
  # Newer objdump prints "+base[ordinal] hint name"; older ones only the
  # index from the base and the name.
  if (match(rest, /\+base\[ *[0-9]+\]/)) {
    o = substr(rest, RSTART, RLENGTH); gsub(/[^0-9]/, "", o); o += 0
  } else {
    o = base + idx
  }
  n = split(rest, parts, /[ \t]+/)
  name = parts[n]
  if (name in have) fail("the DLL exports " name " twice")
  have[name] = o; named_ord[o] = 1; exported++
  next
}

END {
  if (wanted == 0) fail("the table lists no exports")
  if (format != want_format) fail(dll_label " is not a " want_format " image (format " format ")")
  if (magic != want_magic) fail(dll_label " has the wrong optional header (magic " magic ", want " want_magic ")")
  if (!is_dll) fail(dll_label " is not marked as a DLL")
  if (!have_exports) fail(dll_label " has no export directory")
  if (library != "" && tolower(export_name) != tolower(library ".dll"))
    fail("the export directory names the DLL " export_name ", the table " library ".dll")
  if (base != lowest) fail("the ordinals start at " base ", the table at " lowest)
  for (name in want) {
    if (!(name in have)) fail("missing: " name " @" want[name])
    else if (have[name] != want[name]) fail(name " has ordinal " have[name] ", the table " want[name])
  }
  for (name in have) if (!(name in want)) fail("not in the table: " name " @" have[name])
  for (o in in_eat) if (!(o in named_ord)) fail("ordinal " o " is exported without a name")
  for (o in named_ord) if (!(o in in_eat)) fail("the name of ordinal " o " points at no address")
  split(allowed, ok, " "); for (i in ok) fine[ok[i]] = 1
  for (d in imports) if (!(d in fine)) fail("imports " d ", which a bare Windows system lacks")
  if (failures) { print dll_label ": " failures " difference(s) from the table"; exit 1 }
  printf "%s: %d exports, names and ordinals as in the table\n", dll_label, exported
}
' "$def" "$listing"
