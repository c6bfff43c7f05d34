#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a consumer against
# the installed tree with pkg-config and with find_package, then runs it.
set -euo pipefail
build=$1 source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name libkivhnom.so -printf '%h\n' | head -n 1)
test -f "$prefix/include/kivhnom/kivhnom.h"
test -x "$prefix/bin/hostlink-poll"
# pkg-config consumer: the minimal host, loading the installed driver.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
sed -i "s|^prefix=.*|prefix=$prefix|" "$libdir/pkgconfig/kivhnom.pc"
cc -o "$prefix/host" "$source/examples/minimal_host.c" $(pkg-config --cflags --libs kivhnom) -Wl,-rpath,"$libdir"
set +e
"$prefix/host" "$libdir/libkivhnom.so" NULLDEV 001000
status=$?
set -e
[ "$status" -eq 1 ] || { echo "expected 1 (no port), got $status"; exit 1; }
# CMake consumer.
mkdir -p "$prefix/consumer"
cat >"$prefix/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(kivhnom REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE kivhnom::morvek ${CMAKE_DL_LIBS})
CMAKE
cp "$source/examples/minimal_host.c" "$prefix/consumer/main.c"
cmake -S "$prefix/consumer" -B "$prefix/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer/build" >/dev/null
echo "install: ok"
