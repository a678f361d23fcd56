#!/usr/bin/env bash
# The shipped DLL must import system libraries only (a missing runtime DLL would keep the
# game from starting) and export exactly the XInput surface.
set -euo pipefail
dll="$1"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")

allowed='^(kernel32|user32|bcrypt|msvcrt|advapi32|ntdll|api-ms-win-crt-[a-z0-9-]+|ucrtbase)\.dll$'
status=0
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "no import table found in $dll"; exit 1; }
while read -r name; do
    if ! printf '%s\n' "$name" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
        echo "unexpected load-time import: $name"
        status=1
    fi
done <<< "$imports"

# Ordinal table: "[index] +base[ordinal] RVA Export RVA" lines.
ordinals=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] +base\[[[:space:]]*\([0-9]*\)\].*/\1/p' | sort -n | tr '\n' ' ')
if [ "$ordinals" != "1 2 3 4 5 6 7 8 100 101 102 103 " ]; then
    echo "unexpected export ordinals: $ordinals"
    status=1
fi
names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' | sort | tr '\n' ' ')
expected_names="DllMain XInputEnable XInputGetBatteryInformation XInputGetCapabilities XInputGetDSoundAudioDeviceGuids XInputGetKeystroke XInputGetState XInputSetState "
if [ "$names" != "$expected_names" ]; then
    echo "unexpected export names: $names"
    status=1
fi
echo "imports: $(echo $imports)"
exit $status
