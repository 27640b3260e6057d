#!/usr/bin/env bash
# Saves what brindle-get's live display looks like on a terminal, as the text of a tmux pane
# (capture-pane -p): in the middle of a 4-thread job at 100 columns, after the window is
# narrowed to 60, in the first second of a resumed run, and after the verdict. The job fetches
# from the private nginx test server's rate-limited /slow/ location, with --limit-rate on top,
# so it is still running when the frames are taken.
#
# usage: scripts/capture_cli_display.sh BRINDLE_GET OUTPUT_FILE
#   e.g. scripts/capture_cli_display.sh build/src/cli/brindle-get docs/cli/live-display-after.txt
set -euo pipefail
[ $# -eq 2 ] || { sed -n 8,9p "$0" >&2; exit 2; }
bin=$(realpath "$1")
out=$(realpath -m "$2")
cd "$(dirname "$0")/.."
[ -x "$bin" ] || { echo "capture_cli_display.sh: $bin is not a program" >&2; exit 2; }
command -v tmux >/dev/null || { echo "capture_cli_display.sh: needs tmux" >&2; exit 1; }

work=$(mktemp -d)
record=$work/servers.started
sock=brindle-capture-$$
cleanup() {
  tmux -L "$sock" kill-server 2>/dev/null || true
  bash scripts/servers/stop.sh --only-recorded "$record" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

bash scripts/servers/start.sh --only nginx --record "$record" >"$work/servers.log" 2>&1 ||
  { cat "$work/servers.log"; exit 1; }
port=$(sed -n 's/^BRINDLE_NGINX_PORT=//p' scripts/servers/ports.env)
url=http://127.0.0.1:$port/slow/rand-12m.bin
mkdir -p "$work/config" "$(dirname "$out")"

# A shell with a short prompt, so the frames are all there is to see.
tmux -L "$sock" -f /dev/null new-session -d -s cap -c "$work" -x 100 -y 16 \
  env -i PATH=/usr/bin:/bin TERM=xterm-256color PS1='$ ' BRINDLE_CONFIG_DIR="$work/config" \
  bash --norc --noprofile
tmux -L "$sock" set-option -g window-size manual
run() { tmux -L "$sock" send-keys -t cap "$1" Enter; }
# The screen as it is now. Rows that tmux's rewrap pushed off the top on a narrowing resize
# went to the scrollback, where no program can reach them; they are not shown.
pane() { tmux -L "$sock" capture-pane -p -t cap; }
# Runs a command line on an empty screen.
fresh() {
  run clear
  wait_for_blank
  run "$1"
}
wait_for_blank() {
  for _ in $(seq 50); do
    [ "$(pane | tr -d '$ \n')" = "" ] && return 0
    sleep 0.1
  done
}
# Polls the pane (at most 20 s) until it shows the pattern.
wait_for() {
  for _ in $(seq 200); do
    pane | grep -q -- "$1" && return 0
    sleep 0.1
  done
  echo "capture_cli_display.sh: the pane never showed '$1':" >&2
  pane >&2
  exit 1
}
section() {
  {
  printf '=== %s (%s columns) ===\n' "$1" "$(tmux -L "$sock" display-message -p -t cap '#{pane_width}')"
  pane | sed -e 's/[[:space:]]*$//' | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
  echo
  } >>"$work/sections.txt"
}

cd "$work"
ln -s "$bin" brindle-get
fresh "./brindle-get -n 4 --limit-rate 1M $url"
wait_for ' 2[0-9]%'
section "mid-download"
tmux -L "$sock" resize-window -t cap -x 60
sleep 1  # a few frames at the new width
section "after resize-window -x 60"

tmux -L "$sock" send-keys -t cap C-c
wait_for 'interrupted'
tmux -L "$sock" resize-window -t cap -x 100
fresh "./brindle-get -c -n 4 --limit-rate 1M $url"
sleep 0.6  # the first frames of the resumed run
section "resumed with -c, first frames"
wait_for 'Job '
section "verdict"
want=$(curl -s "http://127.0.0.1:$port/SHA256SUMS" | sed -n 's/ .*rand-12m\.bin$//p')
[ -n "$want" ] && [ "$(sha256sum <rand-12m.bin | cut -d' ' -f1)" = "$want" ] ||
  { echo "capture_cli_display.sh: rand-12m.bin does not have the server's bytes" >&2; exit 1; }
{
  echo "brindle-get's live display ($("$bin" --version 2>&1 | head -1)), as tmux capture-pane -p"
  echo "shows it; made by scripts/capture_cli_display.sh, trailing blanks cut."
  echo
  cat "$work/sections.txt"
} >"$out"
echo "capture_cli_display.sh: wrote $out"
