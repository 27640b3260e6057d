#!/usr/bin/env bash
# Installs what is missing, builds Brindle and starts the desktop program (passing a URL
# through when given one). Without a display it says so and shows the brindle-get command.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_GUI=ON >build.log 2>&1 ||
  { cat build.log; exit 1; }
cmake --build build -j2 --target brindle brindle-get >>build.log 2>&1 || { tail -n 80 build.log; exit 1; }
exec ./build/src/app/brindle "$@"
