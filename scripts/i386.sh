# shellcheck shell=bash
# Sourced by setup.sh and test.sh: can this machine run 32-bit x86 programs at all?
#
# Some virtual machines cannot (the kernel answers "Exec format error" for any i386 program),
# and then no Wine can run the win32 build. The question is asked of the kernel directly, with
# a six-instruction program built by the system's own assembler and linker, so it needs neither
# Wine nor any i386 library installed.
machine_runs_i386() {
  if [[ -n "${VPIVG_I386_ANSWER:-}" ]]; then
    [[ "$VPIVG_I386_ANSWER" == yes ]]
    return
  fi
  local dir answer=no
  dir="$(mktemp -d)"
  printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' \
    >"$dir/exit.s"
  if as --32 -o "$dir/exit.o" "$dir/exit.s" 2>/dev/null &&
     ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null &&
     timeout 20 "$dir/exit" 2>/dev/null; then
    answer=yes
  fi
  rm -rf "$dir"
  export VPIVG_I386_ANSWER="$answer"
  [[ "$answer" == yes ]]
}

# Is the 32-bit Wine there to run the win32 build? (A machine that runs i386 programs may still
# lack it: setup.sh goes on without it when the package mirror cannot give it, and says so.)
wine32_installed() {
  command -v wine >/dev/null 2>&1 &&
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'
}
