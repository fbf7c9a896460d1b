#!/usr/bin/env bash
# Installs the Debian packages a build needs. Skips apt entirely when they are
# all present, so it can be re-run cheaply. Usage: scripts/deps.sh PACKAGE...
set -euo pipefail
missing=()
# Every build links the framework, and with it the MariaDB client library.
for pkg in "$@" libmariadb-dev pkg-config; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Installed services (the system's MariaDB server) are not started.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
