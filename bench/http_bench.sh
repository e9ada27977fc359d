#!/usr/bin/env bash
# HTTP load: tarvos-host running the demo plug-in against nginx (one worker, access log off,
# keep-alive on) serving the same files, with wrk on the same machine, the two servers taking
# turns run by run (the first of each pair alternates between rounds). Needs wrk and nginx (Debian packages; installed when missing).
#
#   bench/http_bench.sh [BUILD_DIR] [SECONDS] [ROUNDS]
#
# Scenarios: "/hello" (the demo's handler; nginx: `return 200` with the same 13-byte body), a
# 13-byte and a 4096-byte static file, HTTP/1.0 with a new connection per request (all with
# -t1 -c50), the -c1 latency (p50, p99) and -c200 throughput. Prints one table of requests per
# second with the ratio tarvos/nginx.
#
# The pool runs one task thread (TARVOS_TASKMAX, default 1) beside nginx's one worker process;
# I/O threads follow the pool's own rule (TARVOS_IOMAX overrides it). On a machine with few cores
# wrk shares them with the server: expect run-to-run spread, and compare rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
seconds=${2:-10}
rounds=${3:-2}
"$root/scripts/install-deps.sh" wrk nginx-light >&2

work=$(mktemp -d /tmp/tarvos-http-bench-XXXXXX)
tarvos_pid=
nginx_pid=
cleanup() {
    [ -n "$tarvos_pid" ] && kill "$tarvos_pid" 2>/dev/null && wait "$tarvos_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/log" "$work/nginx"
printf 'hello, world\n' > "$work/www/small.html"
head -c 4096 /dev/zero | tr '\0' 'x' > "$work/www/page.html"
tarvos_port=18080
nginx_port=18081

cat > "$work/tarvos.xml" <<EOF
<config>
  <log><outputToConsole>false</outputToConsole><directory>$work/log</directory>
    <name>bench</name><level>info</level></log>
  <level id="tcp"><logName>TCP</logName><logLevel>warning</logLevel></level>
  <tarvos><threadpool><TaskMax>${TARVOS_TASKMAX:-1}</TaskMax>${TARVOS_IOMAX:+<IoMax>$TARVOS_IOMAX</IoMax>}</threadpool></tarvos>
  <plugins><demo><path>$build/examples/demo/libtarvos_demo.so</path></demo></plugins>
  <demo><heartbeatSeconds>3600</heartbeatSeconds>
    <http><address>127.0.0.1</address><port>$tarvos_port</port>
      <documentRoot>$work/www</documentRoot></http></demo>
</config>
EOF

cat > "$work/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_timeout 75s;
    keepalive_requests 1000000;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { text/html html; }
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
        location = /hello { default_type text/plain; return 200 "hello, world\n"; }
    }
}
EOF

cat > "$work/http10.lua" <<'EOF'
request = function() return "GET /hello HTTP/1.0\r\nHost: localhost\r\n\r\n" end
EOF

"$build/tools/tarvos-host/tarvos-host" "$work/tarvos.xml" >"$work/tarvos.out" 2>&1 &
tarvos_pid=$!
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" >"$work/nginx.out" 2>&1 &
nginx_pid=$!
for port in $tarvos_port $nginx_port; do
    for _ in $(seq 100); do
        curl -sf "http://127.0.0.1:$port/small.html" >/dev/null && break
        sleep 0.1
    done
done

# wrk's requests per second (or the latency percentiles with --latency).
rps() { awk '/Requests\/sec/ {print $2}'; }
run() {  # run PORT ARGS... -> wrk output
    local port=$1
    shift
    wrk "$@" -d"${seconds}s" --timeout 10s "http://127.0.0.1:$port${PATH_PART}" 2>&1
}

declare -A total
scenarios=("hello|-t1 -c50|/hello" "small|-t1 -c50|/small.html" "page|-t1 -c50|/page.html"
           "http10|-t1 -c50 -s $work/http10.lua|/hello" "c200|-t1 -c200|/hello")
for round in $(seq "$rounds"); do
    # Who goes first swaps from round to round, so that neither always meets a cold start.
    order="tarvos nginx"
    [ $((round % 2)) = 0 ] && order="nginx tarvos"
    for entry in "${scenarios[@]}"; do
        IFS='|' read -r name args path <<<"$entry"
        for server in $order; do
            port=$tarvos_port
            [ $server = nginx ] && port=$nginx_port
            # shellcheck disable=SC2086
            out=$(PATH_PART=$path run $port $args)
            errors=$(grep -E "Socket errors|Non-2xx" <<<"$out" || true)
            value=$(rps <<<"$out")
            echo "round $round $name $server $value ${errors:+($errors)}" >&2
            total[$name.$server]=$(awk -v a="${total[$name.$server]:-0}" -v b="$value" \
                'BEGIN {print a + b}')
        done
    done
    for server in $order; do
        port=$tarvos_port
        [ $server = nginx ] && port=$nginx_port
        out=$(PATH_PART=/hello run $port -t1 -c1 --latency)
        p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
        p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
        echo "round $round c1 $server p50=$p50 p99=$p99" >&2
        total[c1.$server]="${total[c1.$server]:-} $p50/$p99"
    done
done

printf '%-8s %14s %14s %8s\n' scenario tarvos nginx ratio
for entry in "${scenarios[@]}"; do
    name=${entry%%|*}
    t=${total[$name.tarvos]}
    n=${total[$name.nginx]}
    awk -v s="$name" -v t="$t" -v n="$n" -v r="$rounds" \
        'BEGIN {printf "%-8s %14.0f %14.0f %8.2f\n", s, t / r, n / r, (n > 0 ? t / n : 0)}'
done
echo "c1 latency p50/p99 per round: tarvos${total[c1.tarvos]}; nginx${total[c1.nginx]}"
echo "tarvos-host RSS: $(awk '/VmRSS/ {print $2, $3}' /proc/$tarvos_pid/status)"
