#!/usr/bin/env bash
# Builds Brindle and runs the whole test suite: units, protocol tests against in-process fake
# servers, integration tests against real servers on 127.0.0.1 (started and stopped by the
# suite itself), and the GUI tests on Qt's offscreen platform. Installs missing Debian packages
# first. The last line is ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_GUI=ON -DBRINDLE_TESTS=ON >build.log 2>&1 ||
  { cat build.log; exit 1; }
cmake --build build -j2 >>build.log 2>&1 || { tail -n 80 build.log; exit 1; }
echo "test.sh: build done (log in build.log)"
export QT_QPA_PLATFORM=offscreen
status=0
ctest --test-dir build -j2 --output-on-failure --timeout 600 -LE slow 2>&1 | tee build/ctest.log ||
  status=$?
# ctest lists skipped tests below its summary; the summary line comes last.
grep -E '^[0-9]+% tests passed' build/ctest.log | tail -n 1 || true
exit "$status"
