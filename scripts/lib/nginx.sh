# shellcheck shell=bash
# Sourced by scripts/bench: a throwaway nginx on loopback, the fast front the HTTP and upload
# benchmarks measure against next to the reference service.
#
#   start_nginx    starts nginx with its own prefix, configuration and logs in a fresh folder
#                  under /tmp, on a free loopback port, and exports LUMO_NGINX_BASE
#                  (http://127.0.0.1:PORT) once it accepts connections. Returns non-zero,
#                  having said why, when it cannot start.
#   stop_nginx     stops it and removes its folder; safe to call more than once.
#
# What it serves:
#   GET  /__dev__/bytes/128   128 bytes, as the reference service's route of that name
#   POST /upload              reads and discards a body of any size, then 204; the access log
#                             (LUMO_NGINX_DIR/access.log) has "<status> <request_time>" per
#                             upload: the time until its last byte was read

nginx_pid=""
nginx_dir=""

# A port nothing listens on right now. Another process may take it before nginx binds it:
# start_nginx then tries again with another one.
_nginx_free_port() {
  /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

_nginx_write_config() {
  local port=$1 user_line=""
  # As root, the master keeps root and the workers drop to nobody; they touch nothing on disk.
  [[ $(id -u) -ne 0 ]] || user_line="user nobody nogroup;"
  cat >"$nginx_dir/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid $nginx_dir/nginx.pid;
error_log $nginx_dir/error.log warn;
daemon off;
events { worker_connections 1024; }
http {
  client_body_temp_path $nginx_dir/body;
  proxy_temp_path $nginx_dir/proxy;
  fastcgi_temp_path $nginx_dir/fastcgi;
  uwsgi_temp_path $nginx_dir/uwsgi;
  scgi_temp_path $nginx_dir/scgi;
  access_log off;
  # A benchmark's connections stay open for all of its requests, as with the reference service.
  keepalive_requests 1000000;
  keepalive_timeout 300s;
  log_format upload '\$status \$request_time';
  server {
    listen 127.0.0.1:$port;
    location = /__dev__/bytes/128 {
      default_type application/octet-stream;
      return 200 '$(printf 'x%.0s' {1..128})';
    }
    # "return" discards the body as it arrives, in small reads and without storing it, and
    # answers at once; the connection goes on reading until the last byte, as long as the
    # client keeps sending, so the bounds below only need to outlast a slow upload.
    location = /upload {
      client_max_body_size 0;
      lingering_time 3600s;
      lingering_timeout 60s;
      access_log $nginx_dir/access.log upload;
      return 204;
    }
  }
}
EOF
}

start_nginx() {
  local nginx attempt port deadline
  nginx=$(command -v nginx || echo /usr/sbin/nginx)
  if [[ ! -x $nginx ]]; then
    echo "nginx is not installed; run scripts/setup (it installs nginx-light)" >&2
    return 1
  fi
  nginx_dir=$(mktemp -d /tmp/lumo-nginx.XXXXXX) || return 1
  chmod 755 "$nginx_dir"
  for attempt in 1 2 3 4 5; do
    port=$(_nginx_free_port) || return 1
    _nginx_write_config "$port"
    : >"$nginx_dir/error.log"
    # What nginx says before it has read its configuration goes to the console log.
    "$nginx" -p "$nginx_dir" -c "$nginx_dir/nginx.conf" -e "$nginx_dir/error.log" \
      >"$nginx_dir/console.log" 2>&1 &
    nginx_pid=$!
    deadline=$((SECONDS + 30))
    # Ready once it has written its pid file, which it does after binding its port (a
    # connection alone might reach whoever took the port meanwhile), and a connection goes
    # through; gone means it could not start.
    while kill -0 "$nginx_pid" 2>/dev/null && ((SECONDS < deadline)); do
      if [[ $(cat "$nginx_dir/nginx.pid" 2>/dev/null) == "$nginx_pid" ]] &&
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        export LUMO_NGINX_BASE="http://127.0.0.1:$port" LUMO_NGINX_DIR="$nginx_dir"
        echo "nginx on $LUMO_NGINX_BASE ($nginx_dir)" >&2
        return 0
      fi
      sleep 0.05
    done
    if kill -0 "$nginx_pid" 2>/dev/null; then
      kill "$nginx_pid" 2>/dev/null || true
      wait "$nginx_pid" 2>/dev/null || true
      nginx_pid=""
      echo "nginx did not accept connections on port $port within 30 s:" >&2
      tail -n 20 "$nginx_dir/console.log" "$nginx_dir/error.log" >&2
      stop_nginx
      return 1
    fi
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
    # Someone took the port between our look and nginx's bind: take another.
    cat "$nginx_dir/console.log" "$nginx_dir/error.log" | grep -q 'Address already in use' || break
    echo "nginx: port $port was taken meanwhile (attempt $attempt), trying another" >&2
  done
  echo "nginx did not start:" >&2
  tail -n 20 "$nginx_dir/console.log" "$nginx_dir/error.log" >&2
  stop_nginx
  return 1
}

stop_nginx() {
  if [[ -n $nginx_pid ]]; then
    # TERM is nginx's fast shutdown: the master ends its workers and then itself.
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  fi
  if [[ -n $nginx_dir ]]; then
    rm -rf "$nginx_dir"
    nginx_dir=""
  fi
  unset LUMO_NGINX_BASE LUMO_NGINX_DIR
}
