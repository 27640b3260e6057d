#!/usr/bin/env bash
# Starts the private test servers on 127.0.0.1 (ports in ports.env) with their state under one
# directory (default /tmp/brindle-servers, or $BRINDLE_SERVER_DIR):
#   data/ (served files)  run/ (pid files)  log/ (access and command logs)  <server>/ (configs)
# Idempotent: a server that is already running is left alone.
#
# usage: start.sh [--big] [--record FILE] [--only "NAME..."] [STATE_DIR]
#   --big          also generate data/big/huge.bin (>4 GiB sparse, for the slow tests)
#   --record FILE  append the names of the servers this call started to FILE (stop.sh --only-recorded)
#   --only NAMES   start only these servers
# Servers: nginx nginx-tls pyhttp vsftpd vsftpd-slow pyftpd squid ftp-proxy, and proftpd pure-ftpd when their
# Debian packages can be unpacked privately (best effort; set BRINDLE_EXTRA_FTPD=0 to skip them).
# Exit status: 0 when every required server runs, 1 otherwise (the failed ones are named).
set -uo pipefail
. "$(dirname "$0")/lib.sh"

big=0 record= only=
while [ $# -gt 0 ]; do
  case "$1" in
    --big) big=1; shift ;;
    --record) record=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "start.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
STATE=$(state_dir "${1:-}") || { echo "start.sh: cannot create the state dir" >&2; exit 1; }
mkdir -p "$STATE"/{run,log,data,nginx,nginx-tls,vsftpd,vsftpd-slow,squid,ftp-proxy,pyftpd,pyhttp}
# nginx workers and vsftpd's anonymous user read the data as another user.
chmod 755 "$STATE" "$STATE/data"

PY_SYS=/usr/bin/python3
[ -x "$PY_SYS" ] || PY_SYS=$(command -v python3)

gen_args=()
[ $big -eq 1 ] && gen_args+=(--big)
if ! "$PY_SYS" "$SERVERS_DIR/gen_data.py" "${gen_args[@]}" "$STATE/data"; then
  echo "start.sh: generating the test data failed" >&2
  exit 1
fi

failed=()
wanted() { [ -z "$only" ] || [[ " $only " == *" $1 "* ]]; }

# launch NAME PORT WAIT_SECONDS CMD...: starts CMD in a session of its own with stdio on a log
# file (never the caller's pipes: ctest waits for those to close), records its pid, waits for
# the port.
launch() {
  local name=$1 port=$2 secs=$3 pid
  shift 3
  if pid=$(pid_of "$name"); then
    if wait_port "$port" "$secs" "$pid"; then
      echo "start.sh: $name already running (pid $pid, port $port)"
      return 0
    fi
    echo "start.sh: $name (pid $pid) runs but port $port does not answer" >&2
    failed+=("$name")
    return 1
  fi
  if port_open "$port"; then
    echo "start.sh: port $port for $name is taken by another process" >&2
    failed+=("$name")
    return 1
  fi
  setsid "$@" </dev/null >"$STATE/log/$name.out" 2>&1 &
  pid=$!
  record_pid "$name" "$pid"
  if wait_port "$port" "$secs" "$pid"; then
    echo "start.sh: $name started (pid $pid, port $port)"
    [ -n "$record" ] && echo "$name" >> "$record"
    return 0
  fi
  echo "start.sh: $name did not come up on port $port; last lines of $STATE/log/$name.out:" >&2
  tail -n 5 "$STATE/log/$name.out" >&2
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
  rm -f "$STATE/run/$name.pid"
  failed+=("$name")
  return 1
}

if wanted nginx; then
  render "$SERVERS_DIR/nginx.conf.in" "$STATE/nginx/nginx.conf"
  launch nginx "$BRINDLE_NGINX_PORT" 10 \
    nginx -p "$STATE/nginx" -c "$STATE/nginx/nginx.conf" -e "$STATE/log/nginx-error.log" \
    -g 'daemon off;'
fi

if wanted nginx-tls; then
  # HTTPS and redirects; the test CA and certificates are made here, never committed.
  if bash "$SERVERS_DIR/tls_certs.sh" "$STATE/nginx-tls/certs" >"$STATE/log/tls-certs.out" 2>&1; then
    render "$SERVERS_DIR/nginx-tls.conf.in" "$STATE/nginx-tls/nginx.conf"
    launch nginx-tls "$BRINDLE_NGINX_TLS_PORT" 10 \
      nginx -p "$STATE/nginx-tls" -c "$STATE/nginx-tls/nginx.conf" \
      -e "$STATE/log/nginx-tls-error.log" -g 'daemon off;'
  else
    echo "start.sh: making the test certificates failed (log/tls-certs.out)" >&2
    failed+=(nginx-tls)
  fi
fi

if wanted pyhttp; then
  # python's http.server answers without byte ranges: the no-resume HTTP case.
  launch pyhttp "$BRINDLE_PYHTTP_PORT" 10 \
    "$PY_SYS" -m http.server --bind 127.0.0.1 --directory "$STATE/data" "$BRINDLE_PYHTTP_PORT"
fi

vsftpd_user=ftp
id ftp >/dev/null 2>&1 || vsftpd_user=nobody
launch_user=NO
[ "$(id -u)" -eq 0 ] || launch_user=YES
start_vsftpd() {  # NAME PORT RATE PASV_MIN PASV_MAX
  local name=$1
  mkdir -p "$STATE/$name/empty"
  chmod 755 "$STATE/$name/empty"
  render "$SERVERS_DIR/vsftpd.conf.in" "$STATE/$name/vsftpd.conf" NAME="$name" PORT="$2" \
    RATE="$3" PASV_MIN="$4" PASV_MAX="$5" FTPUSER="$vsftpd_user" LAUNCHUSER="$launch_user"
  launch "$name" "$2" 10 vsftpd "$STATE/$name/vsftpd.conf"
}
wanted vsftpd && start_vsftpd vsftpd "$BRINDLE_VSFTPD_PORT" 0 \
  "$BRINDLE_VSFTPD_PASV_MIN" "$BRINDLE_VSFTPD_PASV_MAX"
wanted vsftpd-slow && start_vsftpd vsftpd-slow "$BRINDLE_VSFTPD_SLOW_PORT" "$BRINDLE_SLOW_RATE" \
  "$BRINDLE_VSFTPD_SLOW_PASV_MIN" "$BRINDLE_VSFTPD_SLOW_PASV_MAX"

if wanted pyftpd; then
  if "$PY_SYS" -c 'import pyftpdlib' 2>/dev/null; then
    launch pyftpd "$BRINDLE_PYFTPD_PORT" 10 \
      "$PY_SYS" "$SERVERS_DIR/pyftpd.py" --port "$BRINDLE_PYFTPD_PORT" --root "$STATE/data" \
      --pasv "$BRINDLE_PYFTPD_PASV_MIN-$BRINDLE_PYFTPD_PASV_MAX" --log "$STATE/log/pyftpd.log"
  else
    echo "start.sh: pyftpdlib is missing for $PY_SYS (package python3-pyftpdlib)" >&2
    failed+=(pyftpd)
  fi
fi

if wanted squid; then
  squid_user=
  if [ "$(id -u)" -eq 0 ]; then
    # squid will not keep root; its user must be able to write its logs.
    squid_user="cache_effective_user proxy"
    id proxy >/dev/null 2>&1 || squid_user="cache_effective_user nobody"
    touch "$STATE/log/squid-access.log" "$STATE/log/squid-cache.log"
    chown "${squid_user##* }" "$STATE/squid" "$STATE/log/squid-access.log" \
      "$STATE/log/squid-cache.log"
  fi
  render "$SERVERS_DIR/squid.conf.in" "$STATE/squid/squid.conf" SQUID_USER="$squid_user"
  launch squid "$BRINDLE_SQUID_PORT" 30 squid -N -f "$STATE/squid/squid.conf"
fi

if wanted ftp-proxy; then
  render "$SERVERS_DIR/ftp-proxy.conf.in" "$STATE/ftp-proxy/ftp-proxy.conf"
  launch ftp-proxy "$BRINDLE_FTPPROXY_PORT" 10 \
    ftp-proxy -d -n -f "$STATE/ftp-proxy/ftp-proxy.conf"
fi

if [ "${BRINDLE_EXTRA_FTPD:-1}" != 0 ]; then
  for name in proftpd pure-ftpd; do
    wanted "$name" || continue
    # Optional servers: their absence only skips their tests.
    . "$SERVERS_DIR/extra_ftpd.sh"
    required_failed=("${failed[@]}")
    start_extra_ftpd "$name" || echo "start.sh: $name not available (its tests will skip)"
    failed=("${required_failed[@]}")
  done
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "start.sh: FAILED: ${failed[*]} (logs in $STATE/log)" >&2
  exit 1
fi
echo "start.sh: servers ready in $STATE"
exit 0
