# Sourced by load scripts: start_nginx_pong <work-folder> starts Debian's nginx with two workers
# answering every request with "Pong" on a free loopback port, and sets nginx_pid (the master)
# and nginx_port. The caller's cleanup kills the pids in the array `pids`.
start_nginx_pong() {
  local work=$1
  nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p "$work/nginx"
  cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
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
    listen 127.0.0.1:$nginx_port;
    location / { default_type text/plain; return 200 "Pong"; }
  }
}
CONF
  nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
  nginx_pid=$!
  pids+=("$nginx_pid")
  for _ in $(seq 100); do
    curl -s "http://127.0.0.1:$nginx_port/" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "nginx did not start"; cat "$work/nginx/error.log"; exit 1
}
