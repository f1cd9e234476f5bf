#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and demos with.
# Idempotent: packages already present are left alone and the package lists
# are refreshed at most once per run.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format
  libcurl4-openssl-dev nlohmann-json3-dev libssl-dev openssl
  qt6-base-dev libp11-kit-dev p11-kit libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev
  opensc gnutls-bin libengine-pkcs11-openssl osslsigncode curl p11-kit-modules
  xvfb xauth attr
  openjdk-17-jdk-headless
  clang libclang-rt-14-dev llvm
  dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
