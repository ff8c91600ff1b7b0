# shellcheck shell=bash
# Shared Wine helpers for the win32 build; sourced by wine-run.sh, wine-env.sh and test.sh.
# Expects WINEPREFIX to be set by the caller (always a prefix inside the build folder, never the
# user's ~/.wine).

# No display, no debug chatter, and no offer to download Mono or Gecko.
wine_quiet_environment() {
  export WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  export WINEARCH="${WINEARCH:-win32}"
  unset DISPLAY WAYLAND_DISPLAY
}

# True when this machine can run 32-bit x86 programs at all. Some virtual machines cannot (the
# kernel answers "Exec format error"), and then no Wine can run the win32 build.
wine_can_run_i386() {
  command -v wine >/dev/null 2>&1 || return 1
  timeout 60 wine --version </dev/null >/dev/null 2>&1
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
      if ! timeout 300 wineboot -i </dev/null >"$WINEPREFIX.log" 2>&1; then
        echo "wine: could not make the prefix $WINEPREFIX (see $WINEPREFIX.log)" >&2
        exit 1
      fi
      timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
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
  wineserver "-p$linger" </dev/null >/dev/null 2>&1 || true
}

wine_stop_server() {
  timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
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
  timeout 60 ${WINE_CMD:-wine} reg import "$(winepath_of "$reg")" </dev/null >/dev/null 2>&1 || true
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
