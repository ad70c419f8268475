#!/usr/bin/env bash
# Installs 32-bit Wine (wine32:i386), which runs the 32-bit Windows build, with GnuTLS
# (libgnutls30:i386), on which Wine's TLS runs. Does nothing when they are installed already;
# otherwise, as root, it changes the machine and says so:
#
#   1. adds the i386 architecture to dpkg and updates the package lists;
#   2. writes /etc/apt/preferences.d/rallylink-wine32, which ranks the security archive below
#      the main archive: the security archive has amd64 packages only, so an i386 package is
#      always at the main archive's version;
#   3. moves every library that they need in both architectures (Multi-Arch: same) and whose
#      installed amd64 version has no i386 twin to the main archive's version, amd64 and i386
#      together (this can downgrade a security update of that library);
#   4. installs wine32:i386 (without its recommendations) and libgnutls30:i386.
#
# Exits 0 when 32-bit Wine is ready, 3 when this machine's kernel runs no 32-bit programs at all
# (some kernels are built or booted with 32-bit emulation off), so that Wine can't help, and 1
# when the installation failed.
set -u

# A 32-bit Linux program of three instructions that exits 0, if the kernel lets it run.
runs_32bit_programs() {
  local dir status
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/p.s"
  as --32 -o "$dir/p.o" "$dir/p.s" && ld -m elf_i386 -o "$dir/p" "$dir/p.o" && "$dir/p" 2>/dev/null
  status=$?
  rm -rf "$dir"
  return $status
}
if ! runs_32bit_programs; then
  echo "== wine32: this machine's kernel runs no 32-bit programs; 32-bit Wine can't run here"
  exit 3
fi

wanted=(wine32:i386 libgnutls30:i386)
installed() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | grep -q '^ii'; }
if installed wine32:i386 && installed libgnutls30:i386; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-wine32: ${wanted[*]} are missing and only root can install them" >&2
  exit 1
fi

apt=(apt-get -o DPkg::Lock::Timeout=900 -q)
export DEBIAN_FRONTEND=noninteractive
say() { echo "== wine32: $*"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture to dpkg"
  dpkg --add-architecture i386 || exit 1
fi
# The security archive's i386 list may fail to download; the main archive's lists are enough.
say "updating the package lists"
"${apt[@]}" update || say "some package lists could not be updated; going on with the rest"
apt-cache show wine32:i386 >/dev/null 2>&1 || {
  echo "install-wine32: no i386 package list offers wine32" >&2
  exit 1
}

pin=/etc/apt/preferences.d/rallylink-wine32
pin_text='# Written by Rallylink'"'"'s tools/install-wine32.sh: i386 packages exist only in the main
# archive, so its versions win over the amd64-only security archive.
Package: *
Pin: release l=Debian-Security
Pin-Priority: 400'
if [ "$(cat "$pin" 2>/dev/null)" != "$pin_text" ]; then
  say "writing $pin (security archive at priority 400, below the main archive's 500)"
  printf '%s\n' "$pin_text" >"$pin" || exit 1
fi

# The packages that they need, and which of them are out of step.
needed=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances "${wanted[@]}" 2>/dev/null | grep -E '^[^ <].*:i386$' |
  sed 's/:i386$//' | sort -u)
pairs=()
for p in $needed; do
  v="" ma=""
  read -r v ma < <(dpkg-query -W -f='${db:Status-Abbrev} ${Version} ${Multi-Arch}\n' \
    "$p:amd64" 2>/dev/null | awk '$1 == "ii" {print $2, $3}')
  [ -n "$v" ] && [ "$ma" = same ] || continue
  i386_versions=$(apt-cache madison "$p:i386" | awk -F'|' '{gsub(/ /, "", $2); print $2}')
  grep -qxF "$v" <<<"$i386_versions" && continue
  target=$(apt-cache policy "$p:i386" | awk '/Candidate:/ {print $2}')
  if ! apt-cache madison "$p:amd64" | awk -F'|' '{gsub(/ /, "", $2); print $2}' |
    grep -qxF "$target"; then
    echo "install-wine32: $p is $v for amd64, and no version exists for both architectures" >&2
    exit 1
  fi
  say "$p: amd64 $v has no i386 twin; installing $target for amd64 and i386"
  pairs+=("$p:amd64=$target" "$p:i386=$target")
done
if [ ${#pairs[@]} -gt 0 ]; then
  "${apt[@]}" install -y --no-install-recommends --allow-downgrades "${pairs[@]}" || exit 1
  # The i386 twins came in only for Wine: let them go with it.
  apt-mark auto $(printf '%s\n' "${pairs[@]}" | grep ':i386=' | sed 's/=.*//') >/dev/null
fi

say "installing ${wanted[*]}"
"${apt[@]}" install -y --no-install-recommends "${wanted[@]}" || exit 1
[ -x /usr/lib/wine/wine ] && [ -x /usr/lib/wine/wineserver32 ] || {
  echo "install-wine32: wine32 is installed but /usr/lib/wine/wine is missing" >&2
  exit 1
}
say "done"
