#!/usr/bin/env bash
# Starts or stops a private nginx for the tests on a free loopback port.
#   DIR/www          document root; /private needs Basic credentials
#                    (user alice, password secret)
#   DIR/access.log   one line a request: $msec "$remote_user" "$request" $status
#   DIR/port         the port it listens on
# NGINX_MORE_ADDRESSES: more loopback addresses it also listens on, at the
# same port (a bench's many hosts on one server).
set -euo pipefail
cmd=$1 dir=$(realpath -m "$2")
port_from=${NGINX_PORT_FROM:-18080}

. "$(dirname "$0")/lib.sh"

case $cmd in
  start)
    [ -f "$dir/nginx.pid" ] && kill "$(cat "$dir/nginx.pid")" 2>/dev/null || true
    rm -rf "$dir"; mkdir -p "$dir/www/private" "$dir/tmp"
    dir=$(cd "$dir" && pwd)
    echo "hello from nginx" >"$dir/www/index.html"
    echo "hello" >"$dir/www/hello.txt"
    echo "secret page" >"$dir/www/private/index.html"
    echo "alice:{PLAIN}secret" >"$dir/htpasswd"
    port=${NGINX_PORT:-$(free_port "$port_from")}
    user_line="" more_listens=""
    for address in ${NGINX_MORE_ADDRESSES:-}; do more_listens+="    listen $address:$port;"$'\n'; done
    [ "$(id -u)" -eq 0 ] && user_line="user root root;"
    cat >"$dir/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon on;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  log_format hits '\$msec "\$remote_user" "\$request" \$status';
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
$more_listens    access_log $dir/access.log hits;
    root $dir/www;
    location /private/ {
      auth_basic "jantor tests";
      auth_basic_user_file $dir/htpasswd;
    }
  }
}
CONF
    /usr/sbin/nginx -c "$dir/nginx.conf" -p "$dir" -e "$dir/error.log"
    for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
    echo "$port" >"$dir/port"
    echo "nginx on 127.0.0.1:$port"
    ;;
  stop)
    if [ -f "$dir/nginx.pid" ]; then
      pid=$(cat "$dir/nginx.pid"); kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    ;;
  *) echo "usage: nginx.sh start|stop DIR" >&2; exit 2 ;;
esac
