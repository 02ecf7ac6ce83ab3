#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages named on the command line that are missing,
# in one step, naming only those. A package whose triggers are still pending
# counts as installed. When another program holds the package manager (an
# install beside this one, unattended upgrades on a fresh machine), it waits
# for it, for ten minutes at most.
# With --missing it only prints what is missing, one line, and installs nothing.
set -euo pipefail
list_only=false
if [ "${1:-}" = "--missing" ]; then
  list_only=true
  shift
fi
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -Eq 'install ok (installed|triggers-pending|triggers-awaited)' ||
    missing+=("$pkg")
done
if $list_only; then
  echo "${missing[*]}"
  exit 0
fi
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Services that packages bring (cupsd among them) are not started: the
# tests start their own, on loopback, with their own configuration.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  trap '$sudo rm -f "$policy"' EXIT
fi
wait_lock=(-o DPkg::Lock::Timeout=600)
# apt-get update has a lock of its own, which the timeout does not cover on
# every apt: it is tried again while another program holds it.
for try in $(seq 1 60); do
  if $sudo apt-get "${wait_lock[@]}" update -qq 2>/tmp/quillbar-apt.$$; then
    break
  fi
  if ! grep -q "Could not get lock" /tmp/quillbar-apt.$$ || [ "$try" -eq 60 ]; then
    cat /tmp/quillbar-apt.$$ >&2
    rm -f /tmp/quillbar-apt.$$
    exit 1
  fi
  [ "$try" -eq 1 ] && echo "waiting for the package manager (another program holds it)..."
  sleep 10
done
rm -f /tmp/quillbar-apt.$$
$sudo apt-get "${wait_lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
