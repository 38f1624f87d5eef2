#!/usr/bin/env bash
# Checks a built kernel driver image:
#   - PE32+ for x86-64 (optional header magic 0x20b),
#   - native subsystem (1),
#   - an entry point, and base relocations (the kernel loads it anywhere),
#   - a correct PE checksum,
#   - imports from ntoskrnl.exe, ks.sys, USBD.SYS and HAL.dll only, with the
#     names spelled as the import libraries spell them; ntoskrnl.exe must be
#     there, the others appear only when something is imported from them (on
#     x64 most of what was the HAL is exported by ntoskrnl.exe, so HAL.dll is
#     often absent),
#   - no static constructors or destructors (nothing would run them), when
#     the image still has its symbols.
# Usage: check-sys-image.sh BUILD_DIR_OR_SYS
# Prints one line per check; exits non-zero on the first failure.
set -euo pipefail

ALLOWED_IMPORTS=(ntoskrnl.exe ks.sys USBD.SYS HAL.dll)
REQUIRED_IMPORTS=(ntoskrnl.exe)
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
NM=${NM:-x86_64-w64-mingw32-nm}

fail() { echo "check-sys-image: FAIL: $*" >&2; exit 1; }
ok() { echo "check-sys-image: ok: $*"; }

[[ $# -eq 1 ]] || { echo "usage: $0 BUILD_DIR_OR_SYS" >&2; exit 2; }
image=$1
if [[ -d $image ]]; then
  if [[ -f $image/QuelvixZ51RDS.sys ]]; then
    image=$image/QuelvixZ51RDS.sys
  else
    fail "no QuelvixZ51RDS.sys in $1"
  fi
fi
[[ -f $image ]] || fail "$image does not exist"
command -v "$OBJDUMP" >/dev/null || fail "$OBJDUMP not found (binutils-mingw-w64-x86-64)"

headers=$("$OBJDUMP" -p "$image" 2>&1) || fail "$image: $OBJDUMP cannot read it: $headers"

format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$headers" | head -n1)
magic=$(awk '$1 == "Magic" { print $2; exit }' <<<"$headers")
[[ $format == pei-x86-64 && $magic == 020b ]] \
  || fail "$image is not a PE32+ x86-64 image (format '$format', magic '$magic')"
ok "PE32+ x86-64 image ($image)"

subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$headers")
[[ $((16#${subsystem:-ff})) -eq 1 ]] || fail "subsystem is $subsystem, not 1 (native)"
ok "native subsystem (1)"

entry=$(awk '$1 == "AddressOfEntryPoint" { print $2; exit }' <<<"$headers")
[[ -n $entry && $((16#$entry)) -ne 0 ]] || fail "no entry point"
ok "entry point at RVA 0x$entry"

reloc_size=$(awk '/Base Relocation Directory/ { print $4; exit }' <<<"$headers")
[[ -n $reloc_size && $((16#$reloc_size)) -ne 0 ]] || fail "no base relocations: the image cannot be loaded at another address"
ok "base relocations present"

# The PE checksum, which the kernel's loader and the signing tools rely on
# (packaging/pe_image_hash.py, beside the Authenticode hash that leaves it out).
stored=$(awk '$1 == "CheckSum" { print $2; exit }' <<<"$headers")
computed=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import pe_image_hash
print("%08x" % pe_image_hash.pe_checksum(open(sys.argv[2], "rb").read()))' \
  "$(dirname "${BASH_SOURCE[0]}")/../packaging" "$image") || fail "no PE checksum can be taken of $image"
[[ $((16#${stored:-0})) -eq $((16#$computed)) ]] || fail "PE checksum is ${stored:-missing}, the file's is $computed"
ok "PE checksum $computed"

mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' <<<"$headers")
[[ ${#dlls[@]} -gt 0 ]] || fail "the image imports nothing"
for dll in "${dlls[@]}"; do
  allowed=no
  for a in "${ALLOWED_IMPORTS[@]}"; do [[ $dll == "$a" ]] && allowed=yes; done
  [[ $allowed == yes ]] || fail "imports from $dll; only ${ALLOWED_IMPORTS[*]} are allowed"
done
for r in "${REQUIRED_IMPORTS[@]}"; do
  found=no
  for dll in "${dlls[@]}"; do [[ $dll == "$r" ]] && found=yes; done
  [[ $found == yes ]] || fail "does not import from $r"
done
ok "imports only from: ${dlls[*]}"

if command -v "$NM" >/dev/null && symbols=$("$NM" "$image" 2>/dev/null) && [[ -n $symbols ]]; then
  # The linker frames the constructor list as -1, entries..., 0 and the
  # destructor list the same way: anything but 16 bytes each means entries.
  addr() { awk -v s="$1" '$3 == s { print $1; exit }' <<<"$symbols"; }
  ctor=$(addr __CTOR_LIST__); dtor=$(addr __DTOR_LIST__)
  if [[ -n $ctor && -n $dtor ]]; then
    span=$(( 16#$dtor - 16#$ctor ))
    [[ $span -eq 16 ]] || fail "the image has static constructors ($(( span / 8 - 2 )) entries); kernel code must not have any"
    ok "no static constructors"
  fi
else
  echo "check-sys-image: note: no symbols, static constructors not checked"
fi
echo "check-sys-image: PASS: $image"
