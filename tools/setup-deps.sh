#!/usr/bin/env bash
# Installs the Debian packages that a job needs, only those that are missing.
# Usage: tools/setup-deps.sh build|test|windows ...
set -euo pipefail

packages=()
for group in "$@"; do
  case "$group" in
    build)
      packages+=(cmake ninja-build g++ pkg-config libxml2-dev libcurl4-openssl-dev
                 libcpp-httplib-dev libmicrohttpd-dev libssl-dev openssl libcli11-dev
                 libyaml-cpp-dev libgnutls28-dev libcrypt-dev help2man) ;;
    test)
      packages+=(libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev rapidjson-dev
                 libxml2-utils clang clang-format libclang-rt-14-dev python3
                 python3-yaml prometheus prometheus-alertmanager systemd dpkg-dev logrotate
                 nagios4-core icinga2-bin icinga2-common lintian) ;;
    windows)
      packages+=(g++-mingw-w64-x86-64-posix wine64 wine googletest nsis osslsigncode) ;;
    *) echo "setup-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "setup-deps: root is needed to install packages" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
