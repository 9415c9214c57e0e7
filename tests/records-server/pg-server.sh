#!/usr/bin/env bash
# A PostgreSQL 15 of the tests' own in a temporary folder: no TCP, a Unix socket in that folder,
# a password (scram-sha-256) that clients read from the folder's pgpass file.
#
#   pg-server.sh setup STATE     initdb and start; STATE gets the folder's path
#   pg-server.sh cleanup STATE   stop and remove the folder
#   pg-server.sh stop DIR | start DIR   (the tests' fault cases)
#
# Without the server's programs, setup says so and leaves STATE empty: the tests then skip, or
# fail when CI is set.
set -euo pipefail
bin=${UL_PG_BIN:-/usr/lib/postgresql/15/bin}

# initdb and postgres refuse to run as root: root runs them as nobody.
as_server() {
  if [[ $(id -u) -eq 0 ]]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    "$@"
  fi
}

start() {
  as_server "$bin/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 60 start >/dev/null
}

stop() {
  as_server "$bin/pg_ctl" -D "$1/data" -m fast -w -t 60 stop >/dev/null
}

case ${1:-} in
  setup)
    state=$2
    : >"$state"
    if [[ ! -x $bin/initdb || ! -x $bin/pg_ctl ]]; then
      echo "pg-server.sh: no PostgreSQL 15 in $bin (Debian package postgresql-15): the records server tests skip" >&2
      exit 0
    fi
    dir=$(mktemp -d "${TMPDIR:-/tmp}/ul-pg.XXXXXX")
    password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
    printf '%s\n' "$password" >"$dir/password"
    printf '*:*:*:ul:%s\n' "$password" >"$dir/pgpass"
    chmod 600 "$dir/pgpass"
    # The server writes its socket and log there; the pgpass file stays the client's.
    trap 'stop "$dir" 2>/dev/null || true; rm -rf "$dir"' ERR
    if [[ $(id -u) -eq 0 ]]; then
      chown nobody:nogroup "$dir" "$dir/password"
      chmod 755 "$dir"
    fi
    as_server "$bin/initdb" -D "$dir/data" -U ul --pwfile="$dir/password" --auth=scram-sha-256 \
      -E UTF8 --no-locale >"$dir/initdb.log"
    rm -f "$dir/password"
    cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$dir'
fsync = off
max_connections = 60
CONF
    start "$dir"
    printf '%s\n' "$dir" >"$state"
    ;;
  cleanup)
    dir=$(cat "$2" 2>/dev/null || true)
    if [[ -n $dir && -d $dir ]]; then
      stop "$dir" 2>/dev/null || true
      rm -rf "$dir"
    fi
    : >"$2"
    ;;
  stop) stop "$2" ;;
  start) start "$2" ;;
  *)
    echo "usage: pg-server.sh setup|cleanup STATE, or stop|start DIR" >&2
    exit 2
    ;;
esac
