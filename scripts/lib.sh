# What every script in scripts/ shares; source it, don't run it:
#
#   source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#
# QUELVIX_JOBS   how many compile and test jobs run at once (builds and ctest);
#                the machine's processor count unless set. Exported, so that a
#                script started by another one runs with the same number.
# QUELVIX_ROOT   the repository root.

QUELVIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QUELVIX_JOBS=${QUELVIX_JOBS:-$(nproc)}

# install_packages NAME...
# Installs with apt the named Debian packages that are not installed yet, and
# nothing when all are; quiet but for one line naming what it installs. Runs
# as root, or through sudo when that asks for no password; never reads
# standard input. A NAME:i386 package adds the i386 architecture first.
install_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  echo "installing ${missing[*]}"
  local as_root=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "need root to install ${missing[*]}" >&2; return 1; }
    as_root=(sudo -n)
  fi
  if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
}

# preset_dir PRESET: the folder a host preset of CMakePresets.json (host,
# asan, tsan, fuzz) builds in.
preset_dir() {
  if [[ $1 == host ]]; then echo "$QUELVIX_ROOT/build"; else echo "$QUELVIX_ROOT/build-$1"; fi
}

# configure_preset PRESET BUILD_DIR [cmake options...]
# Configures BUILD_DIR with a preset of CMakePresets.json. A tree configured
# earlier from another folder (the plug-in and driver trees once were
# configured from their own folders, with another generator) cannot be
# configured again in place: its cache is dropped first, the objects stay.
configure_preset() {
  local preset=$1 dir=$2; shift 2
  local cache=$dir/CMakeCache.txt
  if [[ -f $cache ]] && ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$QUELVIX_ROOT" "$cache"; then
    rm -rf "$cache" "$dir/CMakeFiles"
  fi
  cmake -S "$QUELVIX_ROOT" --preset "$preset" -B "$dir" "$@"
}
