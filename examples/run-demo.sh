#!/usr/bin/env bash
# Runs kiv on the example project in a copy of it, then lists what it produced.
set -euo pipefail
kiv=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
kivtool="$(dirname "$kiv")/kivtool"
work="$(dirname "$kiv")/example-run"
rm -rf "$work"
cp -r "$here/project" "$work"
cd "$work"
echo "kiv: running the example project in $work"
for script in *.scp; do
  echo "== kiv $script"
  "$kiv" "$script"
done
for script in *.lnk; do
  echo "== kiv $script"
  "$kiv" "$script"
done
echo
for archive in *.kiv; do
  "$kivtool" list "$archive"
  echo
done
echo "== kivtool verify --rebuild game.kiv"
"$kivtool" verify --rebuild game.kiv
