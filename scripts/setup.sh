#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are missing, then builds.
# Usage: scripts/setup.sh [--target <target>]... [build-dir] [extra cmake arguments...]
#        scripts/setup.sh --packages   (only installs the packages)
# Without --target everything is built; ninja picks the number of jobs from the processors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

missing=()
while read -r pkg; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done < "$root/scripts/packages.txt"

if ((${#missing[@]})); then
  echo "Fehlende Pakete: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "Bitte als root ausführen oder zuerst installieren:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # No package may start its service (vsftpd would listen on port 21): while apt runs, the
  # policy forbids every start; an existing policy is put back afterwards.
  policy=/usr/sbin/policy-rc.d
  saved=""
  if [[ -e $policy ]]; then
    saved=$(mktemp)
    cp -p "$policy" "$saved"
  fi
  restore_policy() {
    if [[ -n $saved ]]; then mv -f "$saved" "$policy"; else rm -f "$policy"; fi
  }
  trap restore_policy EXIT
  printf '#!/bin/sh\n# No service starts while packages are installed.\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
  restore_policy
  trap - EXIT
fi
[[ ${1:-} == --packages ]] && exit 0

targets=()
while [[ ${1:-} == --target ]]; do
  targets+=(--target "$2")
  shift 2
done
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" "${targets[@]}"
