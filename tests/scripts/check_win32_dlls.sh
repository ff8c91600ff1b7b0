#!/usr/bin/env bash
# vpivg.dll exports VpiMain and its alias _VpiMain@4 and nothing else, and takes the host
# runtime's functions from zelpro.dll by their plain names; zelpro.dll exports those names.
#   check_win32_dlls.sh OBJDUMP vpivg.dll zelpro.dll
set -euo pipefail
objdump="$1" driver="$2" runtime="$3"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Export names: the lines after "[Ordinal/Name Pointer] Table" look like "[   0] VpiMain".
exports_of() {
  "$objdump" -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next}
                            on && /^[[:space:]]*\[ *[0-9]+\]/ {print $NF; next}
                            on {on=0}' | sort
}
# "zelpro.dll fn" for every import by name, "dll #ord" for imports by ordinal.
imports_of() {
  "$objdump" -p "$1" | awk '/DLL Name:/ {dll=tolower($3); on=0; next}
                            /Hint\/Ord Member-Name/ {on=1; next}
                            on && NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print dll, $3; next}
                            on && NF == 0 {on=0}' | sort
}

want_driver_exports=$'VpiMain\n_VpiMain@4'
got="$(exports_of "$driver")"
if [[ "$got" != "$want_driver_exports" ]]; then
  fail "vpivg.dll exports"$'\n'"$got"$'\n'"instead of exactly VpiMain and _VpiMain@4"
fi

host_functions=(Zel5GetGateIdByAddressStr Zel5GetGateVal Zel5MkClient Zel5PutGateVal
                Zel5RmClient Zel5SetPlcCommStatus Zel5WaitMsg err)
imports="$(imports_of "$driver")"
from_runtime="$(awk '$1 == "zelpro.dll" {print $2}' <<<"$imports" | sort)"
want_runtime="$(printf '%s\n' "${host_functions[@]}" | sort)"
if [[ "$from_runtime" != "$want_runtime" ]]; then
  fail "vpivg.dll imports from zelpro.dll:"$'\n'"$from_runtime"$'\n'"expected:"$'\n'"$want_runtime"
fi
# Besides the host runtime, only the system's own DLLs (Windows and its C runtime).
others="$(awk '$1 != "zelpro.dll" {print $1}' <<<"$imports" | sort -u)"
while read -r dll; do
  [[ -z "$dll" ]] && continue
  case "$dll" in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll | ws2_32.dll | \
    api-ms-win-*.dll) ;;
    *) fail "vpivg.dll imports from $dll, which a plant's machine may not have" ;;
  esac
done <<<"$others"

runtime_exports="$(exports_of "$runtime")"
for name in "${host_functions[@]}"; do
  grep -qx -- "$name" <<<"$runtime_exports" || fail "zelpro.dll does not export $name"
done
if grep -q '@' <<<"$(grep -E '^(Zel5|err)' <<<"$runtime_exports")"; then
  fail "zelpro.dll exports decorated host functions"
fi

if ((failed)); then
  exit 1
fi
echo "vpivg.dll exports: $(tr '\n' ' ' <<<"$got")"
echo "vpivg.dll imports from zelpro.dll: $(tr '\n' ' ' <<<"$from_runtime")"
echo "vpivg.dll imports from: $(tr '\n' ' ' <<<"$others")zelpro.dll"
