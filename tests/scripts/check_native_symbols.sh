#!/usr/bin/env bash
# libvpivg.so exports VpiMain alone and refers to the host runtime's functions under the
# version ZELPRO_5, which libzelpro.so defines, so the C library's err(3) can never serve them.
#   check_native_symbols.sh NM libvpivg.so libzelpro.so
set -euo pipefail
nm="$1" driver="$2" runtime="$3"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

host_functions=(Zel5GetGateIdByAddressStr Zel5GetGateVal Zel5MkClient Zel5PutGateVal
                Zel5RmClient Zel5SetPlcCommStatus Zel5WaitMsg err)

# Defined dynamic symbols of the driver, leaving out what every shared object has.
defined="$("$nm" -D --defined-only "$driver" | awk '{print $NF}' |
           grep -vxE '_init|_fini|_edata|_end|__bss_start|_ITM_[A-Za-z]+|__gmon_start__' |
           sort || true)"
if [[ "$defined" != "VpiMain" ]]; then
  fail "libvpivg.so exports"$'\n'"$defined"$'\n'"instead of VpiMain alone"
fi

undefined="$("$nm" -D --undefined-only "$driver" | awk '{print $NF}')"
for name in "${host_functions[@]}"; do
  line="$(grep -E "^${name}(@|$)" <<<"$undefined" || true)"
  case "$line" in
    "${name}@ZELPRO_5") ;;
    "") fail "libvpivg.so does not refer to $name" ;;
    *) fail "libvpivg.so refers to $line, not ${name}@ZELPRO_5" ;;
  esac
done

runtime_defined="$("$nm" -D --defined-only "$runtime" | awk '{print $NF}')"
for name in "${host_functions[@]}"; do
  grep -qx "${name}@@ZELPRO_5" <<<"$runtime_defined" ||
    fail "libzelpro.so does not define ${name}@@ZELPRO_5"
done

if ((failed)); then
  exit 1
fi
echo "libvpivg.so exports: $defined"
echo "libvpivg.so host references: $(grep -E '@ZELPRO_5$' <<<"$undefined" | tr '\n' ' ')"
