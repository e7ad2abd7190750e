#!/bin/sh
# Installs every Debian package the build and the tests need, and nothing that
# is already there. Safe to run again.
set -eu

packages="cmake ninja-build g++ make pkg-config python3 clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix wine wine64 xvfb
  libudev-dev util-linux libsystemd-dev umockdev libumockdev-dev
  librapidxml-dev libspdlog-dev nlohmann-json3-dev
  dbus-daemon python3-dbusmock
  qt6-base-dev qt6-svg-dev fonts-dejavu-core
  clang libclang-rt-14-dev
  dpkg-dev lintian desktop-file-utils appstream nsis unzip"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

if [ -n "$missing" ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing:$missing"
  $sudo apt-get update
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi
