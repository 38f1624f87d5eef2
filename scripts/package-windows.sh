#!/usr/bin/env bash
# Builds the Windows driver package and checks it.
#
#   scripts/package-windows.sh [--hardware-id ID] [--no-check] [BUILD_DIR]
#
# BUILD_DIR (default build-windows) gets the driver build itself and:
#   package/                    QuelvixZ51RDS.sys, QuelvixZ51RDS.inf,
#                               x64/QuelvixProxyPlugin.dll,
#                               x86/QuelvixProxyPlugin32.dll,
#                               QuelvixZ51RDS.cat (signed), QuelvixTestCert.cer,
#                               INSTALL.txt
#   QuelvixZ51RDS-package.zip   the same folder, zipped
#   signing/                    the throwaway test certificate and its key
#                               (made anew at each run; never shipped)
#
# The .sys comes from scripts/build-windows-driver.sh, the plug-in DLLs from
# scripts/test-plugin.sh --build-only (build root $QUELVIX_BUILD_ROOT or
# "build"). --hardware-id sets the one hardware id of the INF's model line;
# without it the INF names the placeholder USB\VID_F055&PID_5100.
#
# Then the checks, unless --no-check: the package's structure
# (packaging/check_package.py), every signature (osslsigncode verify), the
# catalog's signature and every image's hash in it (osslsigncode verify
# -catalog, which must refuse a copy with one byte changed) and every file's
# hash found in it by wintrust under Wine (packaging/tools/catalog_lookup.c), the
# signed driver image (scripts/check-sys-image.sh), and the INF read and run
# by Wine's setupapi (plugin/tests/inf_install_test.cpp). Each check prints
# "package check <name>: passed|FAILED" (or, for a part this machine cannot
# run, "package check <name>: skipped: <why>"); the last line is
# "package checks: N passed, M failed". Installs what it needs with apt
# (Debian 12, as root).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$QUELVIX_ROOT/scripts/wine.sh"
root=$QUELVIX_ROOT
hardware_id='USB\VID_F055&PID_5100'
check=1
build=
while [[ $# -gt 0 ]]; do
  case $1 in
    --hardware-id) hardware_id=${2:?--hardware-id needs an id}; shift 2 ;;
    --no-check) check=0; shift ;;
    -*) echo "package-windows: unknown option $1" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
build=${build:-$root/build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
plugin_root=${QUELVIX_BUILD_ROOT:-$root/build}
if ! [[ $hardware_id =~ ^USB\\VID_[0-9A-Fa-f]{4}\&PID_[0-9A-Fa-f]{4}(\&REV_[0-9A-Fa-f]{4}|\&MI_[0-9A-Fa-f]{2})*$ ]]; then
  echo "package-windows: '$hardware_id' is not a USB hardware id (USB\\VID_xxxx&PID_yyyy)" >&2
  exit 2
fi

# The placeholder id matches no camera: say so once, where the packager sees it.
if [[ $hardware_id == 'USB\VID_F055&PID_5100' ]]; then
  echo "package-windows: warning: the INF names the placeholder hardware id $hardware_id, which no camera reports;" \
    "read the camera's id in Device Manager and rebuild with --hardware-id (INSTALL.txt, \"The hardware id\")" >&2
fi

# The packaging helpers leave no byte-code beside the sources.
export PYTHONDONTWRITEBYTECODE=1

log() { printf '== %s\n' "$*"; }

# DriverVer: the date and count of the commit built, so that the same sources
# give the same INF; today and 0 outside a git checkout.
driver_ver() {
  local date count
  date=$(git -C "$root" log -1 --format=%cd --date=format:%m/%d/%Y 2>/dev/null || date -u +%m/%d/%Y)
  count=$(git -C "$root" rev-list --count HEAD 2>/dev/null || echo 0)
  echo "$date,1.0.$count.0"
}

# Writes a file of packaging/ into the package with its @FIELD@s filled in:
# the build's, and the sources' facts.
fill() {
  python3 "$root/packaging/fill_template.py" "$1" "$2" "$(driver_ver)" "$hardware_id"
}

# A new self-signed code-signing certificate for this package only.
make_test_certificate() {
  local dir=$build/signing
  rm -rf "$dir"
  mkdir -p "$dir"
  chmod 700 "$dir"
  openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 365 \
    -subj "/CN=Quelvix Test Signing (throwaway)/O=Quelvix test build" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -keyout "$dir/test-key.pem" -out "$dir/test-cert.pem" 2>/dev/null
  openssl x509 -in "$dir/test-cert.pem" -outform DER -out "$dir/QuelvixTestCert.cer"
}

sign() {
  local file=$1
  osslsigncode sign -certs "$build/signing/test-cert.pem" -key "$build/signing/test-key.pem" \
    -h sha256 -n "Quelvix Z51 camera" -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
}

# The seconds since 1970 of the commit built: the catalog's date and its
# signing time, so that the same sources give the same catalog.
commit_time() {
  git -C "$root" log -1 --format=%ct 2>/dev/null || date -u +%s
}

# The files the INF installs, and the INF itself: the catalog's members.
CATALOG_MEMBERS=(QuelvixZ51RDS.sys x64/QuelvixProxyPlugin.dll x86/QuelvixProxyPlugin32.dll QuelvixZ51RDS.inf)

# Lists every member's hash in QuelvixZ51RDS.cat and signs the catalog.
# The members must already carry their own signatures: a PE image's hash
# leaves its signature out, but the INF's covers every byte. Debian's
# python3-asn1crypto belongs to the system's Python, not to whichever
# python3 comes first on PATH.
make_catalog() {
  local package=$build/package when
  when=$(commit_time)
  /usr/bin/python3 "$root/packaging/make_catalog.py" --package "$package" \
    --output "$build/QuelvixZ51RDS.unsigned.cat" --time "$when" "${CATALOG_MEMBERS[@]}"
  osslsigncode sign -certs "$build/signing/test-cert.pem" -key "$build/signing/test-key.pem" \
    -h sha256 -time "$when" -in "$build/QuelvixZ51RDS.unsigned.cat" -out "$package/QuelvixZ51RDS.cat" >/dev/null
  rm -f "$build/QuelvixZ51RDS.unsigned.cat"
}

build_package() {
  log "driver"
  "$root/scripts/build-windows-driver.sh" "$build"
  log "plug-in"
  "$root/scripts/test-plugin.sh" --build-only "$plugin_root"

  local package=$build/package
  rm -rf "$package" "$build/QuelvixZ51RDS-package.zip"
  mkdir -p "$package/x64" "$package/x86"
  cp "$build/QuelvixZ51RDS.sys" "$package/"
  cp "$plugin_root/plugin-x64/bin/QuelvixProxyPlugin.dll" "$package/x64/QuelvixProxyPlugin.dll"
  # The 32-bit library has a name of its own in the package, and keeps it in
  # the driver store: an INF lists each source file once by name, and may
  # not rename a file that runs from the driver store.
  cp "$plugin_root/plugin-x86/bin/QuelvixProxyPlugin.dll" "$package/x86/QuelvixProxyPlugin32.dll"
  fill QuelvixZ51RDS.inf "$package/QuelvixZ51RDS.inf"
  fill INSTALL.txt "$package/INSTALL.txt"

  log "test signing"
  make_test_certificate
  cp "$build/signing/QuelvixTestCert.cer" "$package/"
  sign "$package/QuelvixZ51RDS.sys"
  sign "$package/x64/QuelvixProxyPlugin.dll"
  sign "$package/x86/QuelvixProxyPlugin32.dll"
  log "catalog"
  make_catalog

  (cd "$package" && zip -q -X -r "$build/QuelvixZ51RDS-package.zip" .)
  log "package: $package"
  log "zip: $build/QuelvixZ51RDS-package.zip"
}

# --- checks -------------------------------------------------------------------
passed=0
failed=0
run_check() {
  local name=$1; shift
  if "$@"; then
    echo "package check $name: passed"; passed=$((passed + 1))
  else
    echo "package check $name: FAILED"; failed=$((failed + 1))
  fi
}

verify_signatures() {
  local file status=0
  for file in QuelvixZ51RDS.sys x64/QuelvixProxyPlugin.dll x86/QuelvixProxyPlugin32.dll; do
    if osslsigncode verify -CAfile "$build/signing/test-cert.pem" -in "$build/package/$file" >"$build/verify.log" 2>&1 \
      && grep -q '^Signature verification: ok' "$build/verify.log"; then
      echo "signature ok: $file"
    else
      cat "$build/verify.log"; status=1
    fi
  done
  return $status
}

osslsigncode_ok() {
  osslsigncode verify -CAfile "$build/signing/test-cert.pem" "$@" >"$build/verify.log" 2>&1 \
    && grep -q '^Succeeded' "$build/verify.log"
}

# The catalog's own signature, by the test certificate.
verify_catalog_signature() {
  osslsigncode_ok -in "$build/package/QuelvixZ51RDS.cat" \
    && grep -q '^Signature verification: ok' "$build/verify.log" || { cat "$build/verify.log"; return 1; }
}

# Every shipped image is found in the catalog by its hash, and a copy with
# one byte changed (in the middle, among the code and data the hash covers)
# is not.
verify_catalog_members() {
  local file status=0 tampered=$build/tampered
  local catalog=$build/package/QuelvixZ51RDS.cat
  rm -rf "$tampered"
  mkdir -p "$tampered"
  for file in QuelvixZ51RDS.sys x64/QuelvixProxyPlugin.dll x86/QuelvixProxyPlugin32.dll; do
    if osslsigncode_ok -catalog "$catalog" -in "$build/package/$file"; then
      echo "in the catalog: $file"
    else
      cat "$build/verify.log"; status=1
    fi
    cp "$build/package/$file" "$tampered/one"
    python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(len(f.read()) // 2); b = f.read(1); f.seek(-1, 1); f.write(bytes([b[0] ^ 0xFF]))' "$tampered/one"
    if osslsigncode_ok -catalog "$catalog" -in "$tampered/one"; then
      echo "a copy of $file with one byte changed is in the catalog too"; status=1
    fi
  done
  rm -rf "$tampered"
  return $status
}

# The catalog as Windows reads it: a 64-bit program under Wine opens it with
# wintrust's catalog API and finds each shipped file's hash among its
# members. The images' hashes are osslsigncode's, the INF's sha256sum's, so
# none of them comes from the catalog writer.
check_with_wintrust() {
  local program=$build/catalog_lookup.exe file hash lookups=()
  x86_64-w64-mingw32-gcc -O1 -Wall -Werror -municode -o "$program" \
    "$root/packaging/tools/catalog_lookup.c" -lwintrust -lcrypt32 || return 1
  for file in QuelvixZ51RDS.sys x64/QuelvixProxyPlugin.dll x86/QuelvixProxyPlugin32.dll; do
    hash=$(osslsigncode verify -catalog "$build/package/QuelvixZ51RDS.cat" -in "$build/package/$file" 2>/dev/null \
      | awk '/^Calculated message digest/ { print $NF }')
    [[ -n $hash ]] || { echo "osslsigncode gave no hash of $file"; return 1; }
    lookups+=("$(windows_path "$build/package/$file")=$hash")
  done
  hash=$(sha256sum "$build/package/QuelvixZ51RDS.inf" | cut -c1-64 | tr a-f A-F)
  lookups+=("$(windows_path "$build/package/QuelvixZ51RDS.inf")=$hash")
  export WINEPREFIX=$plugin_root/plugin-wineprefix WINEDEBUG=-all
  unset DISPLAY
  [[ -f $WINEPREFIX/.quelvix-ready ]] || { echo "no Wine prefix: run scripts/test-plugin.sh first"; return 1; }
  WINE_EMU_TIMEOUT=120 "$root/cmake/wine-emu.sh" "$program" \
    "$(windows_path "$build/package/QuelvixZ51RDS.cat")" "${lookups[@]}"
}

# The zip holds exactly the package folder.
check_zip() {
  diff <(cd "$build/package" && find . -type f | sed 's|^\./||' | sort) \
       <(unzip -Z1 "$build/QuelvixZ51RDS-package.zip" | grep -v '/$' | sort)
}

# The INF under Wine: the x64 test program opens it with setupapi, installs
# its files (into the driver store), registry sections and service into the
# plug-in tests' prefix, has a 64-bit and a 32-bit process create the classes
# from the installed libraries, and compares the registration with what
# DllRegisterServer writes. That one test starts 32-bit programs (the class
# probe, regsvr32), so the 32-bit path of this machine must be set up in this
# process's environment too (under qemu-i386, Wine needs QEMU_RESERVED_VA, or
# every 32-bit process fails to start). Where no 32-bit program can run, that
# test is left out and counted as skipped. Under emulation each 32-bit
# process takes 35-40 s to start: three of them set the time limit.
#
# Windows does not redirect a 32-bit process's System32\DriverStore to
# SysWOW64 (the file system redirector exempts it, from Windows 7 on), so a
# 32-bit process loads its library from the driver store as the registry
# names it. Wine 8 does redirect it: there the 32-bit process finds nothing
# (STATUS_DLL_NOT_FOUND). The prefix gets what Windows has by a link from
# syswow64\DriverStore to system32\DriverStore, made once.
link_driver_store_for_wow64() {
  local link=$WINEPREFIX/drive_c/windows/syswow64/DriverStore
  [[ -e $link || -L $link ]] || ln -s ../system32/DriverStore "$link"
}
THIRTY_TWO_BIT_INF_TEST=Inf.BothBitnessesCreateTheClassesFromTheDriverStoreWhereDllRegisterServerWouldRegisterThem
check_with_setupapi() {
  export WINEPREFIX=$plugin_root/plugin-wineprefix WINEDEBUG=-all
  unset DISPLAY
  local status=0 filter=()
  [[ -f $WINEPREFIX/.quelvix-ready ]] || { echo "no Wine prefix: run scripts/test-plugin.sh first"; return 1; }
  wine32_detect || return 1
  echo "32-bit Windows programs: $QUELVIX_WINE32_MODE ($QUELVIX_WINE32_WHY)"
  if [[ $QUELVIX_WINE32_MODE == none ]]; then
    filter=("--gtest_filter=-$THIRTY_TWO_BIT_INF_TEST")
    echo "package check setupapi-32-bit: skipped: $QUELVIX_WINE32_WHY"
  fi
  link_driver_store_for_wow64
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  WINE_EMU_TIMEOUT=400 "$root/cmake/wine-emu.sh" "$plugin_root/plugin-x64/bin/inf_install_test.exe" \
    "${filter[@]}" "$(windows_path "$build/package")" "$hardware_id" \
    "$(windows_path "$plugin_root/plugin-x86/bin/installed_class_probe.exe")" || status=1
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  return $status
}

install_packages osslsigncode openssl zip unzip python3 python3-asn1crypto gcc-mingw-w64-x86-64-posix
build_package
if [[ $check -eq 1 ]]; then
  log "checks"
  run_check structure python3 "$root/packaging/check_package.py" "$build/package" "$hardware_id"
  run_check signatures verify_signatures
  run_check packaging-tools /usr/bin/python3 -m unittest discover -q -s "$root/packaging/tests"
  run_check catalog-signature verify_catalog_signature
  run_check catalog-members verify_catalog_members
  run_check catalog-wintrust check_with_wintrust
  run_check signed-driver-image "$root/scripts/check-sys-image.sh" "$build/package/QuelvixZ51RDS.sys"
  run_check zip check_zip
  run_check setupapi check_with_setupapi
  echo "package checks: $passed passed, $failed failed"
  [[ $failed -eq 0 ]]
fi
