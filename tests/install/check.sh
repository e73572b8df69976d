#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a consumer
# with pkg-config and with find_package, as a user outside the tree would.
# With a third argument (a C++ standard, e.g. 20) the consumer is built with
# that standard both ways and uses something only it has, so that a package
# forcing an older standard fails.
set -euo pipefail
build=$1 source=$(cd "$2" && pwd) standard=${3:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/$(gcc -print-multiarch)/pkgconfig"

consumer=$source/consumer.cpp std_flag=() cmake_std=""
if [ -n "$standard" ]; then
  consumer=$source/consumer$standard.cpp
  std_flag=(-std=c++$standard)
  cmake_std="set(CMAKE_CXX_STANDARD $standard)"
fi

echo "pkg-config: g++ ${std_flag[*]} \$(pkg-config --cflags --libs orvane)"
g++ "${std_flag[@]}" "$consumer" $(pkg-config --cflags --libs orvane) \
  -Wl,-rpath,"$(pkg-config --variable=libdir orvane)" -o "$prefix/consumer"
"$prefix/consumer"

echo "find_package(orvane)${cmake_std:+ with $cmake_std}"
mkdir "$prefix/cmake-consumer"
cat > "$prefix/cmake-consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
$cmake_std
find_package(orvane REQUIRED)
add_executable(consumer $consumer)
target_link_libraries(consumer PRIVATE orvane::orvane)
CMAKE
cmake -S "$prefix/cmake-consumer" -B "$prefix/cmake-consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cmake-consumer/build" >/dev/null
"$prefix/cmake-consumer/build/consumer"
# The orvane program runs from where it was installed, finding liborvane beside it.
ORVANE_SIM="evk4:SIM-INSTALLED,delays=log" "$prefix/bin/orvane" list | grep -q SIM-INSTALLED
# The Python package, where it was built, imports from the prefix and finds
# liborvane there.
for package in "$prefix"/lib/python3*/dist-packages; do
  [ -d "$package/orvane" ] || continue
  PYTHONPATH="$package" /usr/bin/python3 -c \
    'import orvane, sys; assert orvane.__file__.startswith(sys.argv[1]); assert orvane.EVENT_DTYPE.itemsize == 16' \
    "$package"
done
