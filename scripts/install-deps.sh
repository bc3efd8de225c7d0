#!/usr/bin/env bash
# Installs the Debian packages that building and testing kiv need, when they are missing.
#   scripts/install-deps.sh demo   compiler, CMake, libpng: what kiv and kivtool need to build
#   scripts/install-deps.sh core   and GoogleTest (the command-line tools and their tests)
#   scripts/install-deps.sh gui    compiler, CMake, libpng and Qt 6 Widgets: what kiv-gui needs
#   scripts/install-deps.sh viewer compiler, CMake, libpng and SDL2: the example viewer
#   scripts/install-deps.sh bench  all, and the real art the colour bench maps: a game's
#                                  palette (freedoom), sky textures (extremetuxracer-data) and
#                                  photos (mate-backgrounds)
#   scripts/install-deps.sh all    and Qt 6 Widgets, Google Benchmark, Xvfb, fonts for the window's
#                                  Chinese texts, the picture tools used as references, clang and
#                                  libFuzzer, Pillow, Ninja, the checkers of the packaging files,
#                                  openbox (the window is tried under a real window manager), and
#                                  Bazel and nginx (the example's build with a shared cache)
set -euo pipefail
want=(g++ cmake make libpng-dev)
case "${1:-core}" in
  demo) ;;
  gui) want+=(qt6-base-dev) ;;
  viewer) want+=(libsdl2-dev) ;;
  *) want+=(libgtest-dev) ;;
esac
if [ "${1:-core}" = all ] || [ "${1:-core}" = bench ]; then
  want+=(qt6-base-dev libbenchmark-dev xvfb xauth fonts-wqy-microhei netpbm imagemagick
         clang libclang-rt-14-dev python3-pil ninja-build desktop-file-utils appstream dpkg-dev
         groff-base openbox libsdl2-dev pkgconf bazel-bootstrap nginx-light)
fi
if [ "${1:-core}" = bench ]; then
  want+=(freedoom extremetuxracer-data mate-backgrounds)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "kiv: all needed packages are installed."
  exit 0
fi
echo "kiv: installing missing Debian packages: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
