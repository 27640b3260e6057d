# Sourced by the scripts that need a private X display. start_xvfb FIRST LAST LOG starts Xvfb
# on the first free display number in FIRST..LAST, waits (5 s at most) for its socket, exports
# DISPLAY and sets xvfb_pid; the caller stops it. Returns 1, with the reason on stderr, when
# no number is free or the server does not come up.
start_xvfb() {
  local first=$1 last=$2 log=$3 n display=
  for n in $(seq "$first" "$last"); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
  done
  [ -n "$display" ] || { echo "no free X display number in $first..$last" >&2; return 1; }
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  [ -e "/tmp/.X11-unix/X$display" ] || { cat "$log" >&2; return 1; }
  export DISPLAY=":$display"
}
