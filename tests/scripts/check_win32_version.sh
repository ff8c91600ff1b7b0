#!/usr/bin/env bash
# Every Windows file we build says in its version resource what it is and which build: the
# version and revision of this build, its own file name, and for the stand-in host runtime
# that it is one. Read from the files with windres, so it needs no Windows.
#   check_win32_version.sh WINDRES VERSION REVISION FILE...
set -euo pipefail
windres="$1" version="$2" revision="$3"
shift 3
failed=0
fail() { echo "FAIL: $*"; failed=1; }
numbers="${version//./, }, 0"

for file in "$@"; do
  name="$(basename "$file")"
  if ! resource="$("$windres" -J coff -i "$file" -O rc 2>&1)"; then
    fail "$name: windres cannot read it: $resource"
    continue
  fi
  value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"\$/\1/p" <<<"$resource"; }
  [[ "$(value FileVersion)" == "$version" ]] || fail "$name: FileVersion '$(value FileVersion)'"
  [[ "$(value ProductVersion)" == "$version" ]] || fail "$name: ProductVersion '$(value ProductVersion)'"
  [[ "$(value Comments)" == "revision $revision" ]] || fail "$name: Comments '$(value Comments)'"
  [[ "$(value OriginalFilename)" == "$name" ]] || fail "$name: OriginalFilename '$(value OriginalFilename)'"
  [[ "$(value ProductName)" == vpivg ]] || fail "$name: ProductName '$(value ProductName)'"
  [[ -n "$(value FileDescription)" ]] || fail "$name: no FileDescription"
  grep -qE "^ *FILEVERSION $numbers\$" <<<"$resource" || fail "$name: FILEVERSION is not $numbers"
  grep -qE "^ *PRODUCTVERSION $numbers\$" <<<"$resource" || fail "$name: PRODUCTVERSION is not $numbers"
  if [[ "${name,,}" == zelpro.dll ]]; then
    grep -q "STAND-IN" <<<"$(value FileDescription)" ||
      fail "zelpro.dll's description does not say it is the stand-in"
  fi
  echo "$name: $(value FileVersion), $(value Comments): $(value FileDescription)"
done
exit "$failed"
