#!/usr/bin/env bash
# Installs what the build and the test suites need on a Debian machine,
# only when something is missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev googletest
          g++-powerpc-linux-gnu qemu-user
          clang libclang-rt-dev valgrind
          dpkg-dev file)
packages+=(lintian groff-base man-db)  # tests/package.sh: the package checker, the manual pages
packages+=(hyperfine time libbenchmark-dev python3)  # scripts/bench.sh
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
