# shellcheck shell=bash
# Shared Wine helpers for the Windows builds; sourced by wine-run.sh, wine-env.sh and test.sh.
# Expects WINEPREFIX to be set by the caller (always a prefix inside the build folder, never the
# user's ~/.wine).
#
# Two Wines: the 32-bit one for the win32 build (the product), and the 64-bit one for the win64
# build of the same sources, which is how the suite runs where the kernel cannot run 32-bit
# programs at all. Debian's `wine` picks its 32-bit loader whenever wine32 is installed, and
# that loader cannot even start on such a machine, so the 64-bit side calls Wine's own wine64
# loader and wineserver64 by path and never goes through `wine`, `wineboot` or `wineserver`.

# wine_select win32|win64: sets WINE_LOADER and WINE_SERVER (commands to run) and exports
# WINEARCH, and for win64 WINELOADER/WINESERVER, so every program Wine starts on its own (the
# services, a test's child process) uses the same loader and server.
wine_select() {
  local arch="${1:-win32}"
  case "$arch" in
    win32)
      WINE_LOADER="$(command -v wine || echo wine)"
      WINE_SERVER="$(command -v wineserver || echo wineserver)"
      ;;
    win64)
      local dir
      WINE_LOADER="" WINE_SERVER=""
      for dir in /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin; do
        if [[ -z "$WINE_LOADER" && -x "$dir/wine64" ]]; then WINE_LOADER="$dir/wine64"; fi
        if [[ -z "$WINE_SERVER" && -x "$dir/wineserver64" ]]; then WINE_SERVER="$dir/wineserver64"; fi
      done
      [[ -z "$WINE_LOADER" ]] && WINE_LOADER="$(command -v wine64 || echo wine64)"
      [[ -z "$WINE_SERVER" ]] && WINE_SERVER="$(command -v wineserver || echo wineserver)"
      export WINELOADER="$WINE_LOADER" WINESERVER="$WINE_SERVER"
      ;;
    *)
      echo "wine: unknown arch '$arch' (win32 or win64)" >&2
      return 2
      ;;
  esac
  WINE_ARCH="$arch"
  export WINEARCH="$arch"
}

# The Windows arch a build folder was configured for: win64 when its toolchain is the x86_64
# MinGW one, else win32.
wine_arch_of_build() {
  local cache="$1/CMakeCache.txt"
  if [[ -f "$cache" ]] &&
     grep -qE '^CMAKE_(TOOLCHAIN_FILE|CXX_COMPILER)[:A-Z_]*=.*x86_64-(w64-)?mingw32' "$cache"; then
    echo win64
  else
    echo win32
  fi
}

# No display, no debug chatter, and no offer to download Mono or Gecko.
wine_quiet_environment() {
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  [[ -n "${WINE_ARCH:-}" ]] || wine_select win32
  unset DISPLAY WAYLAND_DISPLAY
}

# True when the selected Wine can start a program on this machine. The 32-bit one needs a kernel
# that runs 32-bit x86 programs; some virtual machines answer "Exec format error" for any.
wine_can_run() {
  command -v "$WINE_LOADER" >/dev/null 2>&1 || return 1
  timeout 60 "$WINE_LOADER" --version </dev/null >/dev/null 2>&1
}
wine_can_run_i386() {
  ( wine_select win32 && wine_can_run )
}

# Makes the prefix once. Several test programs may start at the same moment, so only one of
# them builds it; the rest wait on the lock. wineboot's own wineserver gets /dev/null for its
# standard streams and is waited for, so it cannot keep a caller's pipe open.
wine_ensure_prefix() {
  if [[ -f "$WINEPREFIX/system.reg" ]]; then
    return 0
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
      if ! timeout 300 "$WINE_LOADER" wineboot -i </dev/null >"$WINEPREFIX.log" 2>&1; then
        echo "wine: could not make the prefix $WINEPREFIX (see $WINEPREFIX.log)" >&2
        exit 1
      fi
      timeout 60 "$WINE_SERVER" -w </dev/null >/dev/null 2>&1 || true
      if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
        echo "wine: wineboot left no prefix in $WINEPREFIX (see $WINEPREFIX.log)" >&2
        exit 1
      fi
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Starts the prefix's wineserver unless one runs already (then wineserver answers 2 at once).
# `linger` is how long it stays after its last client: "" for until `wineserver -k`.
wine_ensure_server() {
  local linger="$1"
  "$WINE_SERVER" "-p$linger" </dev/null >/dev/null 2>&1 || true
}

wine_stop_server() {
  timeout 30 "$WINE_SERVER" -k </dev/null >/dev/null 2>&1 || true
}

# Null-modem COM pairs: `count` socat pseudo-terminal pairs. The driver side of pair i is COMi
# (Wine knows plain "COMn" names only for n < 10); the test's side is COM(20+i), which a test
# opens as \\.\COM2i. Both are set in the prefix's port table, so Wine's mount manager links
# them in dosdevices itself and does not hand the numbers to the machine's own serial ports,
# and the links are made here too. The slave ends are held open by one idle process, so a test
# closing its port never makes socat see a hang-up and quit.
wine_com_pairs_start() {
  local count="$1" ttys="$2"
  mkdir -p "$ttys"
  rm -f "$ttys"/drv* "$ttys"/ins*
  WINE_SOCAT_PIDS=()
  local i pairs="" reg="$ttys/ports.reg"
  for ((i = 1; i <= count; i++)); do
    socat pty,raw,echo=0,link="$ttys/drv$i" pty,raw,echo=0,link="$ttys/ins$i" \
      </dev/null >/dev/null 2>&1 &
    WINE_SOCAT_PIDS+=("$!")
  done
  for ((i = 1; i <= count; i++)); do
    local waited=0
    while [[ ! -e "$ttys/drv$i" || ! -e "$ttys/ins$i" ]]; do
      if ((waited >= 100)); then
        echo "wine: socat made no pty pair $i" >&2
        return 1
      fi
      sleep 0.05
      waited=$((waited + 1))
    done
  done
  # One process holds every slave end open until the pairs are taken down.
  local holder="exec sleep 2147483647"
  for ((i = 1; i <= count; i++)); do
    holder+=" $((10 + 2 * i))<>'$ttys/drv$i' $((11 + 2 * i))<>'$ttys/ins$i'"
  done
  bash -c "$holder" </dev/null >/dev/null 2>&1 &
  WINE_HOLDER_PID=$!

  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for ((i = 1; i <= count; i++)); do
      printf '"COM%d"="%s"\r\n' "$i" "$ttys/drv$i"
      printf '"COM%d"="%s"\r\n' "$((20 + i))" "$ttys/ins$i"
    done
  } >"$reg"
  timeout 60 "$WINE_LOADER" reg import "$(winepath_of "$reg")" </dev/null >/dev/null 2>&1 || true
  for ((i = 1; i <= count; i++)); do
    ln -sfn "$ttys/drv$i" "$WINEPREFIX/dosdevices/com$i"
    ln -sfn "$ttys/ins$i" "$WINEPREFIX/dosdevices/com$((20 + i))"
    pairs+="${pairs:+,}COM$i=COM$((20 + i))"
  done
  export VPIVG_TEST_COM_PAIRS="$pairs"
}

wine_com_pairs_stop() {
  local pid
  for pid in "${WINE_SOCAT_PIDS[@]:-}" "${WINE_HOLDER_PID:-}"; do
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true
  done
  for pid in "${WINE_SOCAT_PIDS[@]:-}" "${WINE_HOLDER_PID:-}"; do
    [[ -n "$pid" ]] && wait "$pid" 2>/dev/null || true
  done
  WINE_SOCAT_PIDS=()
  WINE_HOLDER_PID=""
}

# A Unix path as Wine sees it: everything is on drive Z:.
winepath_of() {
  local path
  path="$(readlink -f "$1")"
  printf 'Z:%s' "${path//\//\\}"
}
