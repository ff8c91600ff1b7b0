#!/usr/bin/env bash
# Installs what building and testing vpivg needs, and only what is missing (Debian packages).
#
#   scripts/setup.sh [PRESET...]     (default: native asan tsan win32 win64)
#
# "release" stands for what scripts/package.sh and the release check need.
#
# As root it installs; otherwise it names the command to run as root and fails.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then
  presets=(native asan tsan win32 win64)
fi

# shellcheck source=i386.sh
source "$here/i386.sh"

# Header-only libraries every preset compiles against (the Windows builds too).
wanted=(cmake ninja-build g++ binutils googletest util-linux coreutils libcli11-dev
        libtomlplusplus-dev libspdlog-dev libfmt-dev)
want_i386=0
for preset in "${presets[@]}"; do
  case "$preset" in
    # tmux: the host's live-view tests read its screen there.
    native) wanted+=(locales gcc pkg-config socat tmux)
            # The MQTT gateway's payloads: the Sparkplug schema's generator and runtime, JSON.
            wanted+=(protobuf-c-compiler libprotobuf-c-dev nlohmann-json3-dev)
            # Its wire: libmosquitto and OpenSSL; the tests' broker, clients and test CA.
            wanted+=(libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl)
            # Its store: SQLite; sqlite3 to look into a store by hand.
            wanted+=(libsqlite3-dev sqlite3) ;;
    asan | tsan) wanted+=(clang libclang-rt-dev locales tmux protobuf-c-compiler
                          libprotobuf-c-dev nlohmann-json3-dev pkg-config libmosquitto-dev libssl-dev
                          mosquitto mosquitto-clients openssl libsqlite3-dev) ;;
    win32)
      wanted+=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 socat
               pkg-config)
      # Wine for 32-bit programs is only worth its download where the kernel runs them.
      if machine_runs_i386; then
        wanted+=(wine wine32:i386)
        want_i386=1
      else
        echo "setup: this machine cannot run 32-bit x86 programs; the 32-bit Wine is left out," \
             "and the win32 build is built and checked but not run here" >&2
      fi
      ;;
    win64)
      # The same sources as a 64-bit Windows build, run under the 64-bit Wine, which needs no
      # 32-bit support from the kernel: this is where the Windows suite runs on every machine.
      wanted+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
               socat pkg-config wine wine64)
      ;;
    release)
      # The packages: both toolchains, man pages from the programs' help (help2man), gzip for
      # them, git for the revision; the check unpacks the .deb (dpkg-deb) and reads the DLL's
      # version resource (windres), and runs the Windows tools from the zip under Wine.
      # The packaged host is the MQTT gateway: its payload, wire and store libraries;
      # systemd-analyze verifies its service unit.
      wanted+=(g++ g++-mingw-w64-i686-posix binutils-mingw-w64-i686 help2man gzip git dpkg
               pkg-config protobuf-c-compiler libprotobuf-c-dev nlohmann-json3-dev
               libmosquitto-dev libssl-dev libsqlite3-dev systemd)
      if machine_runs_i386; then
        wanted+=(wine wine32:i386)
        want_i386=1
      fi
      ;;
    *) echo "setup: unknown preset '$preset'" >&2; exit 2 ;;
  esac
done

# Each package once, whichever presets asked for it.
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | awk '!seen[$0]++')

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for package in "${wanted[@]}"; do
  installed "$package" || missing+=("$package")
done
need_arch=0
if ((want_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_arch=1
fi

# The number conversions are tested under a locale whose decimal point is a comma: without
# one installed that test can only skip.
comma_locale() { locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; }
make_comma_locale() {
  installed locales || return 0
  comma_locale && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: as root, run: sed -i 's/^# *de_DE.UTF-8/de_DE.UTF-8/' /etc/locale.gen && locale-gen" >&2
    return 0
  fi
  sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/dev/null 2>&1 || echo "setup: locale-gen failed; the locale test will skip" >&2
}

if [[ ${#missing[@]} -eq 0 && $need_arch -eq 0 ]]; then
  make_comma_locale
  exit 0
fi

commands=()
((need_arch)) && commands+=("dpkg --add-architecture i386")
commands+=("apt-get update" "DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}")

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: as root, run:" >&2
  for command in "${commands[@]}"; do echo "    $command" >&2; done
  exit 1
fi

echo "setup: installing ${missing[*]}"
((need_arch)) && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index and apt-get update with it; the indexes that did
# arrive are enough to install from, and the install below says plainly if a package is not.
apt-get update -qq || echo "setup: apt-get update failed on some index; installing from those it fetched" >&2
if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  # The 32-bit Wine needs i386 libraries of exactly the versions the amd64 ones have; a mirror
  # whose i386 index lags behind cannot give them. Everything else is still installed, and the
  # win32 build is then built and checked but not run, which test.sh says in its summary.
  rest=() foreign=()
  for package in "${missing[@]}"; do
    if [[ $package == *:i386 ]]; then foreign+=("$package"); else rest+=("$package"); fi
  done
  if [[ ${#foreign[@]} -eq 0 ]] ||
     ! apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null; then
    echo "setup: apt-get could not install: ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: ${foreign[*]} cannot be installed from this mirror now;" \
       "the win32 build will be built and checked, but not run under Wine" >&2
fi
make_comma_locale
echo "setup: done"
