#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing. What the
# package manager says goes to a log (DEPS_LOG, by default build/deps.log);
# the screen gets one line per step, and the end of the log when one fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
log=${DEPS_LOG:-$root/build/deps.log}
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
# phymount --gnmi is a gRPC server; its test is a Python gRPC client with
# stubs generated from our .proto.
packages+=(libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler python3-grpcio python3-grpc-tools)
# The fuzz targets are built with clang and link its libFuzzer runtime.
packages+=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "deps: all ${#packages[@]} packages present"
  exit 0
fi

mkdir -p "$(dirname "$log")"
: >"$log"
# step WHAT COMMAND...: one line on the screen, the command's output in the log.
step() {
  local what=$1
  shift
  printf 'deps: %s ... ' "$what"
  if "$@" >>"$log" 2>&1; then
    echo ok
  else
    local rc=$?
    echo "failed (exit $rc); the end of $log:"
    tail -n 20 "$log" | sed 's/^/  /'
    exit "$rc"
  fi
}
echo "deps: ${#missing[@]} to install: ${missing[*]} (output in $log)"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
step "updating the package lists" "${sudo_cmd[@]}" apt-get update -qq
step "installing ${#missing[@]} packages" "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
