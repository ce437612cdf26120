#!/usr/bin/env bash
# check_install.sh BUILD_DIR OUTSIDE_CPP: install to a fresh prefix, compile OUTSIDE_CPP
# with pkg-config and run it.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
# The programs sit in bin/ and find the installed library from there.
for program in sorvo-record sorvo-view sorvo-recover; do
  "$work/prefix/bin/$program" --help > /dev/null
done
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
g++ -std=c++17 -o "$work/outside" "$source" $(pkg-config --cflags --libs sorvo)
mkdir "$work/app"
SORVO_APP_DIR="$work/app" "$work/outside"
# find_package(sorvo) must give sorvo::sorvo as well.
mkdir "$work/cmake-user"
cat > "$work/cmake-user/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(outside CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(sorvo REQUIRED)
add_executable(outside $source)
target_link_libraries(outside PRIVATE sorvo::sorvo)
CMAKE
cmake -S "$work/cmake-user" -B "$work/cmake-user/build" -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/cmake.log"
cmake --build "$work/cmake-user/build" > "$work/build.log"
SORVO_APP_DIR="$work/app" "$work/cmake-user/build/outside"
