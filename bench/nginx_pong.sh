# Sourced by the load scripts: Debian's nginx answering every request with "Pong" on loopback,
# as the yardstick our servers are measured against.
#   start_nginx_pong <work-folder> [cert.pem key.pem]
#                                     starts it (two workers, configured inside the folder) and
#                                     sets nginx_pid (the master) and nginx_port; with a
#                                     certificate and its key it serves HTTPS (TLS 1.2 and 1.3)
#   nginx_pong_pids                   the master and its workers, for CPU accounting
#   stop_nginx_pong                   stops it (the load scripts call it from their cleanup)
nginx_pid=
nginx_port=

start_nginx_pong() {
  local work=$1 cert=${2:-} key=${3:-} tls= scheme=http
  if [ -n "$cert" ]; then
    tls="ssl_certificate $cert; ssl_certificate_key $key; ssl_protocols TLSv1.2 TLSv1.3;"
    scheme=https
  fi
  nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  mkdir -p "$work/nginx/logs"
  cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port backlog=1024${tls:+ ssl};
    $tls
    location / { default_type text/plain; return 200 "Pong"; }
  }
}
CONF
  /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
  nginx_pid=$!
  for _ in $(seq 100); do
    curl -sk "$scheme://127.0.0.1:$nginx_port/" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "nginx did not start:" >&2
  cat "$work/nginx/logs/error.log" >&2
  return 1
}

nginx_pong_pids() { echo "$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')"; }

stop_nginx_pong() {
  if [ -n "$nginx_pid" ]; then
    kill -QUIT "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  fi
  nginx_pid=
}
