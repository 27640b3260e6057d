# proftpd and pure-ftpd for the tests (sourced by start.sh). Their Debian packages conflict with
# vsftpd, so they are fetched with `apt-get download` into $STATE/pkgs and unpacked there, never
# installed. Best effort: any failure only means their tests skip.

# Packages to unpack per server, with the libraries the binary needs beyond a vsftpd machine.
declare -A EXTRA_PKGS=(
  [proftpd]="proftpd-core libhiredis0.14 libmemcached11 libmemcachedutil2 libhashkit2 libpcre2-posix3"
  [pure-ftpd]="pure-ftpd"
)

# unpack_extra NAME: prints the private root the packages are unpacked into.
unpack_extra() {
  local name=$1 root="$STATE/pkgs/$1" dl="$STATE/pkgs/download" pkg debs missing=()
  if [ ! -f "$root/.complete" ]; then
    command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null || return 1
    mkdir -p "$dl" "$root"
    for pkg in ${EXTRA_PKGS[$name]}; do
      debs=("$dl/${pkg}"_*.deb)
      [ -f "${debs[0]}" ] || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
      # One bounded fetch per server: a slow or absent mirror only costs this much.
      (cd "$dl" && timeout 90 apt-get download -qq "${missing[@]}") \
        >>"$STATE/log/$name.out" 2>&1 || return 1
    fi
    for pkg in ${EXTRA_PKGS[$name]}; do
      debs=("$dl/${pkg}"_*.deb)
      dpkg-deb -x "${debs[0]}" "$root" || return 1
    done
    touch "$root/.complete"
  fi
  echo "$root"
}

start_extra_ftpd() {
  local name=$1 root home user group pid
  if pid=$(pid_of "$name") && port_open "$(extra_port "$name")"; then
    echo "start.sh: $name already running (pid $pid)"
    return 0
  fi
  root=$(unpack_extra "$name") || return 1
  [ "$(id -u)" -eq 0 ] || return 1  # both need root to serve anonymous users from a chroot
  user=ftp; id ftp >/dev/null 2>&1 || return 1
  group=$(id -gn ftp)
  case "$name" in
    proftpd)
      mkdir -p "$STATE/proftpd"
      render "$SERVERS_DIR/proftpd.conf.in" "$STATE/proftpd/proftpd.conf" ROOT="$root" \
        FTPUSER="$user" FTPGROUP="$group" RUNUSER=nobody \
        RUNGROUP="$(id -gn nobody)"
      launch proftpd "$BRINDLE_PROFTPD_PORT" 10 env \
        LD_LIBRARY_PATH="$root/usr/lib/x86_64-linux-gnu:$root/usr/lib" \
        "$root/usr/sbin/proftpd" -n -q -c "$STATE/proftpd/proftpd.conf"
      ;;
    pure-ftpd)
      # pure-ftpd serves anonymous users from the ftp user's home: bind the data dir over it in
      # a mount namespace of its own, so nothing outside the state dir changes.
      home=$(getent passwd ftp | cut -d: -f6)
      [ -d "$home" ] && unshare --mount --propagation private true 2>/dev/null || return 1
      launch pure-ftpd "$BRINDLE_PUREFTPD_PORT" 10 unshare --mount --propagation private \
        bash -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' _ "$STATE/data" "$home" \
        "$root/usr/sbin/pure-ftpd" -S "127.0.0.1,$BRINDLE_PUREFTPD_PORT" \
        -p "$BRINDLE_PUREFTPD_PASV_MIN:$BRINDLE_PUREFTPD_PASV_MAX" -e -A -H -c 50 -C 50
      ;;
  esac
}

extra_port() {
  case "$1" in
    proftpd) echo "$BRINDLE_PROFTPD_PORT" ;;
    pure-ftpd) echo "$BRINDLE_PUREFTPD_PORT" ;;
  esac
}
