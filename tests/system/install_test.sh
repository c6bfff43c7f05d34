#!/usr/bin/env bash
# Installs the build into a temporary prefix (not the configured one) and
# uses the installed tree as its users do: hostlink-poll from bin/, a C
# host built with pkg-config and one built with find_package, each run.
set -euo pipefail
build=$1 source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name libkivhnom.so -printf '%h\n' | head -n 1)
test -f "$prefix/include/kivhnom/kivhnom.h"
test -f "$prefix/include/kivhnom/morvek.h"
test -f "$libdir/libmorvek.so"

# The installed tool finds the installed driver next to it.
out=$(timeout 30 "$prefix/bin/hostlink-poll" 00SR 2>/dev/null)
[ "$out" = "00SR = 512 (0x0200) RUN" ] || { echo "installed hostlink-poll: '$out'"; exit 1; }

# pkg-config: the file must describe the tree it was installed into.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
driver=$(pkg-config --variable=driver kivhnom)
[ "$(realpath "$driver")" = "$(realpath "$libdir/libkivhnom.so")" ] || { echo "driver=$driver"; exit 1; }
# shellcheck disable=SC2046
cc -o "$prefix/host" "$source/examples/minimal_host.c" $(pkg-config --cflags --libs kivhnom) -Wl,-rpath,"$libdir"
set +e
"$prefix/host" "$driver" NULLDEV 001000
status=$?
set -e
[ "$status" -eq 1 ] || { echo "pkg-config host: expected 1 (no port), got $status"; exit 1; }

# find_package: the imported targets carry the headers and the locations.
mkdir -p "$prefix/consumer"
cat >"$prefix/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(kivhnom 1.0 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE kivhnom::morvek ${CMAKE_DL_LIBS})
set_target_properties(consumer PROPERTIES BUILD_RPATH "$<TARGET_FILE_DIR:kivhnom::morvek>")
file(GENERATE OUTPUT driver.txt CONTENT "$<TARGET_FILE:kivhnom::kivhnom>")
CMAKE
cp "$source/examples/minimal_host.c" "$prefix/consumer/main.c"
cmake -S "$prefix/consumer" -B "$prefix/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer/build" >/dev/null
set +e
"$prefix/consumer/build/consumer" "$(cat "$prefix/consumer/build/driver.txt")" NULLDEV 001000
status=$?
set -e
[ "$status" -eq 1 ] || { echo "find_package host: expected 1 (no port), got $status"; exit 1; }

# The Debian package: the same tree under /usr, a pkg-config file that
# names /usr, and no build paths.
if command -v dpkg-deb >/dev/null; then
  cpack -G DEB -B "$prefix/deb" --config "$build/CPackConfig.cmake" >/dev/null
  deb=$(ls "$prefix"/deb/*.deb)
  dpkg-deb -c "$deb" >"$prefix/deb/list"
  for f in usr/bin/hostlink-poll usr/bin/hostlink-sim usr/include/kivhnom/kivhnom.h libkivhnom.so libmorvek.so \
           pkgconfig/kivhnom.pc cmake/kivhnom/kivhnomConfig.cmake; do
    grep -q "$f\$" "$prefix/deb/list" || { echo "package lacks $f"; exit 1; }
  done
  dpkg-deb -x "$deb" "$prefix/deb/root"
  pc=$(find "$prefix/deb/root" -name kivhnom.pc)
  PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=driver kivhnom | grep -q "/usr/lib/.*libkivhnom.so$" ||
    { echo "packaged kivhnom.pc: $(cat "$pc")"; exit 1; }
  ! grep -rq "$build" "$prefix/deb/root/usr/lib" || { echo "the package holds build paths"; exit 1; }
fi
echo "install: ok"
