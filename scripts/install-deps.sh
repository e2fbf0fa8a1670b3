#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the demo need.
# Run as root on Debian bookworm.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake pkg-config git clang
  # program
  qtbase5-dev qtbase5-dev-tools libqt5network5 libqt5test5
  libtomcrypt-dev libtommath-dev zlib1g-dev liblzma-dev
  libprotobuf-dev protobuf-compiler libboost-dev
  libssl-dev
  # tests and cross-checks
  libgtest-dev libgmock-dev xz-utils gzip openssl nginx-light curl python3
  xvfb xauth
  # independent reader of ELF, PE and Mach-O headers for the disassembler tests
  llvm
  # benchmarks
  libbenchmark-dev xdelta3 zstd libdivsufsort-dev
)

export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}"
