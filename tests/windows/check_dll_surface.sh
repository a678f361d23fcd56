#!/usr/bin/env bash
# Checks a built DLL's load-time imports and export table. A DLL that imports anything but
# system libraries keeps the program that loads it from starting on a player's machine.
#
# Usage: check_dll_surface.sh DLL ALLOWED_IMPORTS_REGEX "EXPECTED EXPORT NAMES" ["EXPECTED ORDINALS"]
# Names and ordinals are space-separated; names in any order, ordinals ascending.
set -euo pipefail
dll="$1"
allowed="$2"
expected_names=$(printf '%s\n' $3 | sort | tr '\n' ' ')
expected_ordinals="${4:-}"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")

status=0
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "no import table found in $dll"; exit 1; }
while read -r name; do
    if ! printf '%s\n' "$name" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
        echo "unexpected load-time import: $name"
        status=1
    fi
done <<< "$imports"

if [ -n "$expected_ordinals" ]; then
    # Ordinal table: "[index] +base[ordinal] RVA Export RVA" lines.
    ordinals=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] +base\[[[:space:]]*\([0-9]*\)\].*/\1/p' | sort -n | tr '\n' ' ')
    if [ "$ordinals" != "$expected_ordinals " ]; then
        echo "unexpected export ordinals: $ordinals"
        status=1
    fi
fi

names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' | sort | tr '\n' ' ')
if [ "$names" != "$expected_names" ]; then
    echo "unexpected export names: $names"
    echo "expected:                $expected_names"
    status=1
fi
echo "imports: $(echo $imports)"
exit $status
