#!/usr/bin/env bash
# Starts or stops a private nginx that serves HTTPS with certificates made
# afresh at every start by a private CA, for the TLS tests.
#   DIR/ca.pem        the CA to trust (SSL_CERT_FILE=DIR/ca.pem)
#   DIR/port_valid    certificate for localhost, 127.0.0.1 and ::1
#   DIR/port_expired  the same names, but expired long ago
#   DIR/port_wrongname  a certificate for wrong.example only
#   DIR/port_untrusted  localhost, 127.0.0.1 and ::1, signed by a CA no one trusts
#   DIR/port_plain    plain HTTP, no TLS
# Every server listens on 127.0.0.1 and [::1] and serves DIR/www: /index.html,
# /big.txt (20000 lines "line 000001" to "line 020000", 240000 bytes) and
# /private/ behind Basic credentials (user alice, password secret).
#   DIR/access.log    one line a request:
#                     $msec "$remote_user" "$request" $status $ssl_protocol
# With NGINX_TLS_OWNER=PID, nginx is also stopped once that process has
# ended, however it ended.
set -euo pipefail
cmd=$1 dir=$(realpath -m "$2")
port_from=${NGINX_TLS_PORT_FROM:-18443}

. "$(dirname "$0")/lib.sh"

# ca.cnf serves both openssl req (the CA's own certificate) and openssl ca
# (the servers'); the subjectAltName of a server comes from $SAN.
write_ca_config() {
  local ca_dir=$1
  cat >"$ca_dir/ca.cnf" <<CONF
[req]
distinguished_name = req_dn
[req_dn]
[ca]
default_ca = test_ca
[test_ca]
dir = $ca_dir
database = \$dir/index.txt
new_certs_dir = \$dir/issued
serial = \$dir/serial
certificate = \$dir/ca.pem
private_key = \$dir/ca.key
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
[policy_any]
commonName = supplied
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = \$ENV::SAN
CONF
}

# make_ca NAME: DIR/pki/NAME/ca.pem and its key, valid from now for two days.
make_ca() {
  local ca_dir=$dir/pki/$1
  mkdir -p "$ca_dir/issued"
  : >"$ca_dir/index.txt"
  echo 1000 >"$ca_dir/serial"
  write_ca_config "$ca_dir"
  SAN= openssl req -x509 -new -config "$ca_dir/ca.cnf" -extensions ca_ext \
    -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -noenc \
    -keyout "$ca_dir/ca.key" -out "$ca_dir/ca.pem" -days 2 -subj "/CN=jantor test CA $1" \
    2>>"$dir/pki/openssl.log"
}

# issue CA NAME SAN [START END]: DIR/NAME.pem and DIR/NAME.key, signed by the
# CA; valid from now for two days unless START and END (YYYYMMDDHHMMSSZ) say.
issue() {
  local ca_dir=$dir/pki/$1 name=$2 log=$dir/pki/openssl.log dates
  dates=(-days 2)
  [ $# -ge 5 ] && dates=(-startdate "$4" -enddate "$5")
  SAN=$3 openssl req -new -config "$ca_dir/ca.cnf" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
    -noenc -keyout "$dir/$name.key" -out "$dir/pki/$name.csr" -subj "/CN=$name" 2>>"$log"
  SAN=$3 openssl ca -batch -config "$ca_dir/ca.cnf" -extensions server_ext -notext \
    "${dates[@]}" -in "$dir/pki/$name.csr" -out "$dir/$name.pem" 2>>"$log"
}

# server_block PORT [CERTIFICATE]: a server on both loopback addresses, with
# TLS when a certificate is named.
server_block() {
  local port=$1 name=${2:-} ssl=""
  [ -n "$name" ] && ssl=" ssl"
  echo "  server {"
  echo "    listen 127.0.0.1:$port$ssl;"
  echo "    listen [::1]:$port$ssl;"
  if [ -n "$name" ]; then
    echo "    ssl_certificate $dir/$name.pem;"
    echo "    ssl_certificate_key $dir/$name.key;"
  fi
  echo "    root $dir/www;"
  echo "    location /private/ {"
  echo "      auth_basic \"jantor tests\";"
  echo "      auth_basic_user_file $dir/htpasswd;"
  echo "    }"
  echo "  }"
}

case $cmd in
  start)
    [ -f "$dir/nginx.pid" ] && kill "$(cat "$dir/nginx.pid")" 2>/dev/null || true
    rm -rf "$dir"; mkdir -p "$dir/www/private" "$dir/tmp" "$dir/pki"
    # openssl is chatty even when all goes well: its words are kept, and
    # shown only when a step fails.
    trap 'status=$?; [ $status -eq 0 ] || cat "$dir/pki/openssl.log" >&2' EXIT
    echo "hello over tls" >"$dir/www/index.html"
    echo "secret page" >"$dir/www/private/index.html"
    seq -f 'line %06g' 1 20000 >"$dir/www/big.txt"
    echo "alice:{PLAIN}secret" >"$dir/htpasswd"

    sans="DNS:localhost,IP:127.0.0.1,IP:::1"
    make_ca trusted
    make_ca untrusted
    cp "$dir/pki/trusted/ca.pem" "$dir/ca.pem"
    issue trusted valid "$sans"
    issue trusted expired "$sans" 20200101000000Z 20200102000000Z
    issue trusted wrongname "DNS:wrong.example"
    issue untrusted untrusted "$sans"

    # Five distinct free ports, one after the other.
    next=$port_from
    for kind in valid expired wrongname untrusted plain; do
      port=$(free_port "$next")
      declare "port_$kind=$port"
      next=$((port + 1))
    done

    user_line=""
    [ "$(id -u)" -eq 0 ] && user_line="user root root;"
    {
      cat <<CONF
$user_line
worker_processes 1;
daemon on;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  log_format hits '\$msec "\$remote_user" "\$request" \$status \$ssl_protocol';
  access_log $dir/access.log hits;
  ssl_protocols TLSv1.2 TLSv1.3;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
CONF
      server_block "$port_valid" valid
      server_block "$port_expired" expired
      server_block "$port_wrongname" wrongname
      server_block "$port_untrusted" untrusted
      server_block "$port_plain"
      echo "}"
    } >"$dir/nginx.conf"
    /usr/sbin/nginx -c "$dir/nginx.conf" -p "$dir" -e "$dir/error.log"
    for kind in valid expired wrongname untrusted plain; do
      port_var=port_$kind
      for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/${!port_var}") 2>/dev/null && break
        sleep 0.1
      done
      echo "${!port_var}" >"$dir/port_$kind"
    done
    if [ -n "${NGINX_TLS_OWNER:-}" ]; then
      # A test program killed by a sanitizer or a signal never gets to stop
      # its nginx; this watcher does it instead.
      setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; "$2" stop "$3"' \
        watcher "$NGINX_TLS_OWNER" "$(realpath "$0")" "$dir" </dev/null >/dev/null 2>&1 &
    fi
    echo "nginx with TLS on 127.0.0.1 and [::1], ports $port_valid to $port_plain"
    ;;
  stop)
    if [ -f "$dir/nginx.pid" ]; then
      pid=$(cat "$dir/nginx.pid"); kill "$pid" 2>/dev/null || true
      # The master exits once its workers have; as a zombie waiting for init
      # to reap it (which can take a second here) it is as good as gone.
      for _ in $(seq 50); do
        ps -o stat= -p "$pid" | grep -qv Z || break
        sleep 0.1
      done
    fi
    # Everything in it is made again at the next start; a folder that is not
    # the fixture's is left alone.
    [ -f "$dir/nginx.conf" ] && rm -rf "$dir"
    true
    ;;
  *) echo "usage: nginx_tls.sh start|stop DIR" >&2; exit 2 ;;
esac
