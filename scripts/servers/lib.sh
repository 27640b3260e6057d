# Helpers shared by start.sh and stop.sh (sourced). Every server has a pid file
# $STATE/run/NAME.pid holding the id of the process that leads its own session (started with
# setsid), so stopping signals the whole process group: vsftpd and ftp-proxy fork per client.

SERVERS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=ports.env
. "$SERVERS_DIR/ports.env"
export $(grep -E '^BRINDLE_[A-Z0-9_]+=' "$SERVERS_DIR/ports.env" | cut -d= -f1)

state_dir() {
  local d=${1:-${BRINDLE_SERVER_DIR:-/tmp/brindle-servers}}
  mkdir -p "$d" && (cd "$d" && pwd)
}

# port_open PORT: true when something accepts on 127.0.0.1:PORT.
port_open() {
  timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null
}

# start_time PID: the process's start time in clock ticks since boot (field 22 of its stat; the
# command name before it may hold blanks, so count from the closing parenthesis).
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  echo "$stat" | awk '{print $20}'
}

# record_pid NAME PID: pid files hold the pid and its start time, so a pid that the system has
# reused for another process is never taken for the server.
record_pid() {
  echo "$2 $(start_time "$2")" > "$STATE/run/$1.pid"
}

# pid_of NAME: prints the recorded pid when that very process is alive.
pid_of() {
  local f="$STATE/run/$1.pid" pid started
  [ -f "$f" ] || return 1
  read -r pid started < "$f" || return 1
  [[ "$pid" =~ ^[0-9]+$ ]] && alive "$pid" && [ "$(start_time "$pid")" = "$started" ] && echo "$pid"
}

# wait_port PORT SECONDS [PID]: waits until the port accepts, at most SECONDS; fails early when
# PID (the server) has died.
wait_port() {
  local port=$1 secs=$2 pid=${3:-} i
  for ((i = 0; i < secs * 10; i++)); do
    port_open "$port" && return 0
    if [ -n "$pid" ] && ! alive "$pid"; then return 1; fi
    sleep 0.1
  done
  return 1
}

# alive PID: the process exists and is not a zombie waiting for its (adoptive) parent to reap it.
alive() {
  local st
  kill -0 "$1" 2>/dev/null || return 1
  st=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$st" ] && [ "$st" != Z ]
}

# wait_gone PID SECONDS: waits until the process has ended, at most SECONDS.
wait_gone() {
  local pid=$1 secs=$2 i
  for ((i = 0; i < secs * 10; i++)); do
    alive "$pid" || return 0
    sleep 0.1
  done
  return 1
}

# render TEMPLATE OUT VAR=VALUE...: copies TEMPLATE to OUT replacing @VAR@ by VALUE; @STATE@ and
# every BRINDLE_* port are always replaced.
render() {
  local in=$1 out=$2 expr=() kv k v
  shift 2
  for kv in "STATE=$STATE" $(grep -E '^BRINDLE_[A-Z0-9_]+=' "$SERVERS_DIR/ports.env") "$@"; do
    k=${kv%%=*}; v=${kv#*=}
    expr+=(-e "s#@$k@#$v#g")
  done
  sed "${expr[@]}" "$in" > "$out"
}
