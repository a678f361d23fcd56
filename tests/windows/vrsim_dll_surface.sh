#!/usr/bin/env bash
# The stand-in runtime must load beside a program with nothing but system libraries and export
# exactly the client functions plus its two test controls.
set -euo pipefail
dll="$1"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")

allowed='^(kernel32|user32|msvcrt|advapi32|ntdll|api-ms-win-crt-[a-z0-9-]+|ucrtbase)\.dll$'
status=0
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "no import table found in $dll"; exit 1; }
while read -r name; do
    if ! printf '%s\n' "$name" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
        echo "unexpected load-time import: $name"
        status=1
    fi
done <<< "$imports"

names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' | sort | tr '\n' ' ')
expected="VRSim_FrameCount VRSim_Reset VR_GetGenericInterface VR_GetInitToken VR_GetRuntimePath VR_GetVRInitErrorAsEnglishDescription VR_GetVRInitErrorAsSymbol VR_InitInternal2 VR_IsHmdPresent VR_IsInterfaceVersionValid VR_IsRuntimeInstalled VR_ShutdownInternal "
if [ "$names" != "$expected" ]; then
    echo "unexpected export names: $names"
    status=1
fi
echo "imports: $(echo $imports)"
exit $status
