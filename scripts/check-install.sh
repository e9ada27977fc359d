#!/usr/bin/env bash
# Installs Tarvos into a scratch prefix and builds the README example against it, once through
# the CMake package and once through pkg-config, then runs both programs.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(pwd)/build-install-check/prefix
rm -rf build-install-check
make --no-print-directory install PREFIX="$prefix"
libdir=$(dirname "$(find "$prefix" -name 'libtarvos.so.0' | head -n 1)")
cmake -S examples/hello -B build-install-check/cmake -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
cmake --build build-install-check/cmake
LD_LIBRARY_PATH="$libdir" build-install-check/cmake/hello | grep -q "hello from a task, 40 + 2"
PKG_CONFIG_PATH="$libdir/pkgconfig" \
    g++ -std=c++20 examples/hello/main.cpp -o build-install-check/hello-pc \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs tarvos)
LD_LIBRARY_PATH="$libdir" build-install-check/hello-pc | grep -q "hello from a task, 40 + 2"
LD_LIBRARY_PATH="$libdir" "$prefix/bin/tarvos-config" --help | grep -q "tarvos-config get"
echo "check-install: CMake package and pkg-config builds run; tarvos-config is installed"
