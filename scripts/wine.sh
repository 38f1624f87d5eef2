# How this machine runs Windows programs under Wine; source it (after lib.sh),
# don't run it. Used by scripts/test-plugin.sh and scripts/package-windows.sh.
#
# 64-bit programs always start through Wine's 64-bit loader ($WINE64): the
# plain `wine` command is the 32-bit loader, which on some machines cannot run
# at all and merely hands a 64-bit program on to wine64 where it can.
#
# 32-bit programs need a kernel that runs i386 ELF programs (Wine's 32-bit
# loader is one). Machines of our kind differ, so wine32_detect finds out which
# of three kinds this one is and exports it in QUELVIX_WINE32_MODE:
#
#   native    the kernel runs i386 programs itself: every test is its own
#             Wine process, as CTest runs them.
#   emulated  i386 programs run under qemu-user's i386 emulation, registered
#             with binfmt_misc. Every 32-bit Wine process then costs 35-40 s of
#             CPU to start, so the x86 plug-in tests run one Wine process per
#             test program (plugin/tests/gtest_batch.py), each test still
#             counted and a failing one still named.
#   none      neither: the x86 stage says why in one line and counts as
#             skipped.
#
# QUELVIX_WINE32=emulated forces the emulated path on either kind of machine
# (it registers qemu-user's i386 handler if needed: on a machine that could
# run i386 programs itself, every i386 program then goes through qemu until
# the handler is removed, `echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386`).
# QUELVIX_WINE32=none forces the third path. A script that another one
# started inherits the decision.

WINE64=/usr/lib/wine/wine64
WINE32_LOADER=/usr/lib/wine/wine
BINFMT_DIR=/proc/sys/fs/binfmt_misc
QEMU_I386_HANDLER=$BINFMT_DIR/qemu-i386

# Wine's 32-bit loader maps the shared user data at 0x7ffe0000; under qemu
# that needs the guest address space reserved up to 3 GiB, else every 32-bit
# process fails with "failed to map the shared user data: c0000018".
QEMU_RESERVED_VA_FOR_WINE=0xc0000000

# i386 ELF programs (class 1, little-endian, machine 3), executable or shared:
# the pattern Debian's qemu-user-binfmt registers. F opens the interpreter
# now, so it works from inside any mount namespace and chroot.
QEMU_I386_REGISTRATION=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'

# i386_runs: whether an i386 ELF program (Wine's 32-bit loader) runs here, by
# whatever means the kernel has for it.
i386_runs() {
  [[ -x $WINE32_LOADER ]] && "$WINE32_LOADER" --version >/dev/null 2>&1
}

qemu_handler_enabled() {
  [[ -f $QEMU_I386_HANDLER ]] && head -n1 "$QEMU_I386_HANDLER" | grep -qx enabled
}

# wine32_emulate: sets up qemu-user's i386 emulation for Wine; prints why not
# and fails when it cannot (not root, no binfmt_misc, no qemu-i386).
wine32_emulate() {
  if ! qemu_handler_enabled; then
    [[ $(id -u) -eq 0 ]] || { echo "registering qemu-i386 with binfmt_misc needs root"; return 1; }
    install_packages qemu-user >/dev/null || { echo "qemu-user could not be installed"; return 1; }
    [[ -x /usr/bin/qemu-i386 ]] || { echo "qemu-user installed no /usr/bin/qemu-i386"; return 1; }
    if ! mountpoint -q "$BINFMT_DIR"; then
      mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" 2>/dev/null \
        || { echo "binfmt_misc cannot be mounted at $BINFMT_DIR"; return 1; }
    fi
    if [[ -f $QEMU_I386_HANDLER ]]; then
      echo 1 >"$QEMU_I386_HANDLER" 2>/dev/null || { echo "the qemu-i386 handler cannot be enabled"; return 1; }
    else
      printf '%s' "$QEMU_I386_REGISTRATION" >"$BINFMT_DIR/register" 2>/dev/null \
        || { echo "qemu-i386 cannot be registered with binfmt_misc"; return 1; }
    fi
    echo "registered qemu-i386 for i386 programs with binfmt_misc" >&2
  fi
  export QEMU_RESERVED_VA=$QEMU_RESERVED_VA_FOR_WINE
  i386_runs || { echo "Wine's 32-bit loader does not run even under qemu-i386"; return 1; }
}

# wine32_detect: decides QUELVIX_WINE32_MODE (native, emulated or none) and
# QUELVIX_WINE32_WHY, a few words for the logs; exports both. Call it after
# Wine is installed.
wine32_detect() {
  if [[ -n ${QUELVIX_WINE32_MODE:-} ]]; then
    [[ $QUELVIX_WINE32_MODE == emulated ]] && export QEMU_RESERVED_VA=$QEMU_RESERVED_VA_FOR_WINE
    return 0
  fi
  local why
  case ${QUELVIX_WINE32:-} in
    none)
      QUELVIX_WINE32_MODE=none QUELVIX_WINE32_WHY="QUELVIX_WINE32=none" ;;
    emulated)
      if why=$(wine32_emulate); then
        QUELVIX_WINE32_MODE=emulated QUELVIX_WINE32_WHY="forced by QUELVIX_WINE32=emulated"
      else
        QUELVIX_WINE32_MODE=none QUELVIX_WINE32_WHY="QUELVIX_WINE32=emulated, but $why"
      fi ;;
    ''|auto)
      if qemu_handler_enabled && why=$(wine32_emulate); then
        QUELVIX_WINE32_MODE=emulated QUELVIX_WINE32_WHY="i386 programs run under qemu-i386 (binfmt_misc)"
      elif i386_runs; then
        QUELVIX_WINE32_MODE=native QUELVIX_WINE32_WHY="the kernel runs i386 programs"
      elif why=$(wine32_emulate); then
        QUELVIX_WINE32_MODE=emulated QUELVIX_WINE32_WHY="the kernel cannot run i386 programs; they run under qemu-i386"
      else
        QUELVIX_WINE32_MODE=none QUELVIX_WINE32_WHY="the kernel cannot run i386 programs and $why"
      fi ;;
    *)
      echo "QUELVIX_WINE32 must be emulated, none or unset, not '$QUELVIX_WINE32'" >&2
      return 2 ;;
  esac
  [[ $QUELVIX_WINE32_MODE == emulated ]] && export QEMU_RESERVED_VA=$QEMU_RESERVED_VA_FOR_WINE
  export QUELVIX_WINE32_MODE QUELVIX_WINE32_WHY
}

# windows_path PATH: the Windows name of a Linux path, on the Z: drive that
# maps the root in every Wine prefix (winepath is a script that goes through
# the 32-bit loader).
windows_path() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s\n' "${path//\//\\}"
}
