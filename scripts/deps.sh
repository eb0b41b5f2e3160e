#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
set -euo pipefail
packages=(cmake ninja-build g++ python3 pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev libboost-dev libabsl-dev)
# The socket transport (runtime/attrlog/socket/) is built on standalone Asio.
packages+=(libasio-dev)
# The command-line programs in tools/ parse their arguments with CLI11.
packages+=(libcli11-dev)
# The mount's metrics page is served with cpp-httplib; a real Prometheus
# scrapes it in the tests.
packages+=(libcpp-httplib-dev prometheus)
# phymount's live view draws with ncurses.
packages+=(libncurses-dev)
# Its test reads the live view from a tmux pane.
packages+=(tmux)
# The fuzz targets are built with clang and link its libFuzzer runtime.
packages+=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
