#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a consumer
# with pkg-config and with find_package, as a user outside the tree would.
set -euo pipefail
build=$1 source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch)/pkgconfig"
g++ "$source/consumer.cpp" $(pkg-config --cflags --libs orvane) -Wl,-rpath,"$(pkg-config --variable=libdir orvane)" -o "$prefix/consumer"
"$prefix/consumer"
mkdir "$prefix/cmake-consumer"
cat > "$prefix/cmake-consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(orvane REQUIRED)
add_executable(consumer $source/consumer.cpp)
target_link_libraries(consumer PRIVATE orvane::orvane)
CMAKE
cmake -S "$prefix/cmake-consumer" -B "$prefix/cmake-consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cmake-consumer/build" >/dev/null
"$prefix/cmake-consumer/build/consumer"
# The Python package, where it was built, imports from the prefix and finds
# liborvane there.
for package in "$prefix"/lib/python3*/dist-packages; do
  [ -d "$package/orvane" ] || continue
  PYTHONPATH="$package" /usr/bin/python3 -c \
    'import orvane, sys; assert orvane.__file__.startswith(sys.argv[1]); assert orvane.EVENT_DTYPE.itemsize == 16' \
    "$package"
done
