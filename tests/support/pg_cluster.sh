#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests and benchmarks, reachable only through a unix socket.
#   pg_cluster.sh start DIR     initdb into DIR/data (trust logons), start it, print its keywords
#   pg_cluster.sh stop DIR      stop it (if it runs) and remove DIR
#   pg_cluster.sh restart DIR   stop and start the same cluster (clients lose their sessions)
#   pg_cluster.sh keywords DIR  print the libpq keywords that reach it
# Run as root, the server runs as an unprivileged user (the packaged "postgres" user, made when
# missing), since PostgreSQL refuses to run as root; DIR is then owned by that user. When that
# user cannot reach DIR (say, under a home directory closed to others), or DIR is too long for a
# socket path, the cluster lives in a directory of its own under /tmp and DIR records where.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop|restart|keywords DIR" >&2
  exit 2
}
[ $# -eq 2 ] || usage
cmd=$1
dir=$(realpath -m "$2")
port=5432  # the socket's name only: the cluster listens on no TCP port
cd /       # the server's user may not be able to enter the caller's directory

die() {
  echo "pg_cluster: $*" >&2
  exit 1
}

# The newest installed server binaries, else whatever PATH offers.
bindir() {
  local newest
  newest=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$newest" ] && [ -x "$newest/initdb" ]; then
    echo "$newest"
  elif command -v initdb >/dev/null; then
    dirname "$(command -v initdb)"
  else
    die "no initdb found (install postgresql)"
  fi
}

server_user() {
  if [ "$(id -u)" -ne 0 ]; then
    id -un
    return
  fi
  if ! getent passwd postgres >/dev/null; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin postgres
  fi
  echo postgres
}

# Runs a command as the server's user.
as_server() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# Where the cluster of DIR actually lives: DIR itself, or the directory DIR/location names.
home_of() {
  if [ -f "$dir/location" ]; then cat "$dir/location"; else echo "$dir"; fi
}

stop_cluster() {
  local home
  home=$(home_of)
  if [ -f "$home/data/postmaster.pid" ]; then
    as_server "$(bindir)/pg_ctl" stop -D "$home/data" -m immediate -w >/dev/null 2>&1 || true
  fi
}

start_cluster() {
  local home=$1 bin user
  bin=$(bindir)
  user=$(server_user)
  if ! as_server "$bin/pg_ctl" start -D "$home/data" -l "$home/server.log" -w -t 60 >/dev/null; then
    tail -n 20 "$home/server.log" >&2 || true
    die "the server did not start"
  fi
}

case "$cmd" in
  start)
    if [ -d "$dir" ]; then
      stop_cluster
      home=$(home_of)
      [ "$home" != "$dir" ] && rm -rf "$home"
      rm -rf "$dir"
    fi
    user=$(server_user)
    mkdir -p "$dir"
    home=$dir
    # The socket path must fit in 107 bytes, and the server's user must reach the directory.
    if [ ${#dir} -gt 80 ] || ! as_server test -x "$(dirname "$dir")"; then
      home=$(mktemp -d /tmp/tarn-pg.XXXXXX)
      echo "$home" >"$dir/location"
    fi
    chmod 0755 "$home"
    [ "$(id -u)" -eq 0 ] && chown "$user" "$home"
    bin=$(bindir)
    as_server "$bin/initdb" -D "$home/data" -A trust -U "$user" -E UTF8 --locale=C.UTF-8 \
      >"$home/initdb.log" 2>&1 || {
      cat "$home/initdb.log" >&2
      die "initdb failed"
    }
    # Tests want speed and many sessions, not durability.
    cat >>"$home/data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$home'
port = $port
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 300
shared_buffers = 64MB
EOF
    start_cluster "$home"
    echo "host=$home port=$port user=$user dbname=postgres" | tee "$dir/keywords"
    ;;
  stop)
    [ -d "$dir" ] || exit 0
    stop_cluster
    home=$(home_of)
    [ "$home" != "$dir" ] && rm -rf "$home"
    rm -rf "$dir"
    ;;
  restart)
    home=$(home_of)
    [ -f "$home/data/PG_VERSION" ] || die "no cluster in $dir"
    as_server "$(bindir)/pg_ctl" stop -D "$home/data" -m fast -w >/dev/null
    start_cluster "$home"
    ;;
  keywords)
    [ -f "$dir/keywords" ] || die "no cluster in $dir"
    cat "$dir/keywords"
    ;;
  *) usage ;;
esac
