#!/usr/bin/env bash
# libkiv installed like a library: the installed tree builds a short C program with pkg-config
# and with CMake's find_package, and the program opens an archive, finds a sprite and draws it.
# install_test.sh BUILD_DIR KIV EXAMPLE_PROJECT [CFLAGS]
# CFLAGS: what the program needs beside the library's flags (the sanitizers of a sanitized build).
set -euo pipefail
build=$1 kiv=$2 example=$3 cflags=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$example" "$work/example"
(cd "$work/example" && "$kiv" art.scp > /dev/null)
archive=$work/example/art.kiv
cmake --install "$build" --prefix "$work/usr" > /dev/null
cat > "$work/main.c" <<'C'
#include <kiv/kiv.h>
#include <stdio.h>
int main(int argc, char **argv) {
    kiv_status status;
    kiv_archive *a = kiv_open_file(argv[1], &status);
    kiv_sprite hero;
    unsigned char screen[64 * 64] = {0};
    kiv_surface s = kiv_surface_of(screen, 64, 64, 64);
    if (a == NULL || kiv_sprite_view(a, kiv_find(a, "hero"), &hero, &status) != 0) return 1;
    kiv_draw_sprite(&s, &hero, 16, 16);
    printf("%d entries, hero %dx%d, pixel %d\n", kiv_count(a), hero.width, hero.height, screen[32 * 64 + 32]);
    kiv_close(a);
    return 0;
}
C
pc=$(find "$work/usr" -name kiv.pc)
lib=$(dirname "$(dirname "$pc")")
# shellcheck disable=SC2046
cc -std=c99 $cflags -o "$work/with-pkg-config" "$work/main.c" $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs kiv)
LD_LIBRARY_PATH=$lib "$work/with-pkg-config" "$archive"
mkdir "$work/project"
cat > "$work/project/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(uses_kiv C)
find_package(kiv REQUIRED)
add_executable(with-cmake ../main.c)
target_link_libraries(with-cmake PRIVATE kiv::runtime)
CM
cmake -S "$work/project" -B "$work/project/build" -DCMAKE_PREFIX_PATH="$work/usr" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" > /dev/null
cmake --build "$work/project/build" > /dev/null
"$work/project/build/with-cmake" "$archive"
