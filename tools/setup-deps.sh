#!/usr/bin/env bash
# Installs the Debian packages that a job needs, only those that are missing.
# Supported system: Debian 12 (bookworm), as root: the packages below are its names, and
# tools/test.sh and tools/demo.sh run there on a fresh machine. Elsewhere it installs nothing: it
# names what is missing so that you install those packages (or your system's equivalents, e.g.
# Ubuntu's of the same names, Fedora's *-devel ones) with your own tools, and stops.
# Usage: tools/setup-deps.sh build|test|windows ...
# OS_RELEASE names another os-release file (for the tests of this script).
set -euo pipefail

packages=()
for group in "$@"; do
  case "$group" in
    build)
      packages+=(cmake ninja-build g++ pkg-config libxml2-dev libcurl4-openssl-dev
                 libcpp-httplib-dev libmicrohttpd-dev libssl-dev openssl libcli11-dev
                 libyaml-cpp-dev libgnutls28-dev libcrypt-dev help2man libmosquitto-dev) ;;
    test)
      packages+=(libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev rapidjson-dev
                 libxml2-utils clang clang-format libclang-rt-14-dev python3
                 python3-yaml python3-jinja2 prometheus prometheus-alertmanager systemd dpkg-dev logrotate
                 nagios4-core icinga2-bin icinga2-common lintian mosquitto mosquitto-clients) ;;
    windows)
      packages+=(g++-mingw-w64-x86-64-posix wine64 wine googletest nsis osslsigncode) ;;
    *) echo "setup-deps: unknown group '$group' (build, test or windows)" >&2; exit 2 ;;
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

system="an unknown system (no /etc/os-release)"
id="" version=""
os_release=${OS_RELEASE:-/etc/os-release}
if [ -r "$os_release" ]; then
  # shellcheck disable=SC1090
  system=$(. "$os_release" && echo "${PRETTY_NAME:-${NAME:-unknown}}")
  id=$(. "$os_release" && echo "${ID:-}")
  version=$(. "$os_release" && echo "${VERSION_ID:-}")
fi
if [ "$id" != debian ] || [ "$version" != 12 ]; then
  {
    echo "setup-deps: this script installs Debian 12 (bookworm) packages; this system is $system."
    echo "setup-deps: install these (or your system's packages of the same programs and headers),"
    echo "then run the command again:"
    echo "  ${missing[*]}"
  } >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup-deps: root is needed to install ${missing[*]}; as root:" >&2
  echo "  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
