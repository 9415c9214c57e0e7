#!/usr/bin/env bash
# A PostgreSQL 15 of the tests' own in a temporary folder: no TCP, a Unix socket in that folder,
# a password (scram-sha-256) that clients read from the folder's pgpass file.
#
#   pg-server.sh setup STATE     initdb and start; STATE gets the folder's path
#   pg-server.sh setup-tls STATE the same, also on TCP at 127.0.0.1 with TLS on (host
#                                connections only over TLS): openssl makes a CA and the server's
#                                certificate (localhost, 127.0.0.1), and a second CA that signed
#                                nothing; the folder gets ca.pem, other-ca.pem and port
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

# A CA, the server's certificate and key signed by it, and another CA; then TCP with TLS on a free
# port of 127.0.0.1. Host connections without TLS are refused, so a client that connects used it.
tls() {
  local dir=$1 port tries
  (
    cd "$dir"
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 2 -subj "/CN=unit loader test CA"
    openssl req -x509 "${ec[@]}" -keyout other-ca.key -out other-ca.pem -days 2 -subj "/CN=another CA"
    openssl req "${ec[@]}" -keyout server.key -out server.csr -subj "/CN=localhost"
    printf 'subjectAltName = DNS:localhost, IP:127.0.0.1\n' >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
      -out server.pem
    rm -f ca.key other-ca.key server.csr server.ext ca.srl
    chmod 600 server.key
    if [[ $(id -u) -eq 0 ]]; then chown nobody:nogroup server.key server.pem; fi
  ) 2>"$dir/openssl.log"
  sed -i 's/^host /hostssl /' "$dir/data/pg_hba.conf"
  cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
ssl = on
ssl_cert_file = '$dir/server.pem'
ssl_key_file = '$dir/server.key'
include_if_exists = 'port.conf'
CONF
  # A port that nothing listens on; another process may take it first, so a failed start tries
  # the next.
  for tries in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then continue; fi
    printf 'port = %s\n' "$port" >"$dir/data/port.conf"
    if start "$dir"; then
      printf '%s\n' "$port" >"$dir/port"
      return 0
    fi
  done
  echo "pg-server.sh: the TLS server did not start (see $dir/server.log)" >&2
  return 1
}

case ${1:-} in
  setup | setup-tls)
    state=$2
    : >"$state"
    if [[ ! -x $bin/initdb || ! -x $bin/pg_ctl ]]; then
      echo "pg-server.sh: no PostgreSQL 15 in $bin (Debian package postgresql-15): the records server tests skip" >&2
      exit 0
    fi
    if [[ $1 == setup-tls ]] && ! command -v openssl >/dev/null; then
      echo "pg-server.sh: no openssl (Debian package openssl): the TLS test skips" >&2
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
    if [[ $1 == setup-tls ]]; then
      tls "$dir"
    else
      start "$dir"
    fi
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
    echo "usage: pg-server.sh setup|setup-tls|cleanup STATE, or stop|start DIR" >&2
    exit 2
    ;;
esac
