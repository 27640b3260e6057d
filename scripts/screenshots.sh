#!/usr/bin/env bash
# Saves PNGs of the desktop program into docs/screenshots/: the main window in the middle of
# a 4-thread job, stopped there, and after its verdict once resumed (with "Open file" / "Open
# folder"), a job that failed
# with its reasons, the window at its smallest size, and the "Save as", Options and About
# dialogs. Runs the real main window (brindle-screenshots drives the same FtpForm as brindle)
# on a private Xvfb display against the private nginx test server (its rate-limited /slow/
# location), so the job is still running when the first picture is taken.
#
# usage: scripts/screenshots.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}

bash scripts/install-deps.sh test
cmake -S . -B "$build" -DBRINDLE_GUI=ON -DBRINDLE_TESTS=ON >"$build.screenshots.log" 2>&1 ||
  { cat "$build.screenshots.log"; exit 1; }
cmake --build "$build" -j2 --target brindle-screenshots >>"$build.screenshots.log" 2>&1 ||
  { tail -n 80 "$build.screenshots.log"; exit 1; }

work=$(mktemp -d)
record=$work/servers.started
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  bash scripts/servers/stop.sh --only-recorded "$record" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

bash scripts/servers/start.sh --only nginx --record "$record" >"$work/servers.log" 2>&1 ||
  { cat "$work/servers.log"; exit 1; }
port=$(sed -n 's/^BRINDLE_NGINX_PORT=//p' scripts/servers/ports.env)

. scripts/lib/xvfb.sh
start_xvfb 90 120 "$work/xvfb.log" || { echo "screenshots.sh: no X display" >&2; exit 1; }

# A home of its own, so "Save as" proposes the private download folder and nothing of the
# real user's shows.
mkdir -p "$work/config" "$work/home/Downloads" docs/screenshots
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" QT_QPA_PLATFORM=xcb \
  BRINDLE_CONFIG_DIR="$work/config" \
  timeout 300 "$build/tests/gui/brindle-screenshots" "$root/docs/screenshots" \
  "http://127.0.0.1:$port/slow/rand-12m.bin" "$work/home/Downloads" 4 \
  "http://127.0.0.1:$port/no-such-file.bin"
ls -l docs/screenshots
