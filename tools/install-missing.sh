#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing (as root, with apt-get). Waits
# for another install that holds the package manager's lock rather than failing at once.
missing=()
for p in "$@"; do
  dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "== installing: ${missing[*]}"
apt=(apt-get -q -o DPkg::Lock::Timeout=900)
"${apt[@]}" update && DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y "${missing[@]}"
