#!/usr/bin/env bash
# Starts a private clickhouse-server on 127.0.0.1 with its configuration and data under DIR
# and prints its HTTP URL (http://127.0.0.1:PORT); "stop DIR" stops it again.
#   scripts/clickhouse.sh start DIR     scripts/clickhouse.sh stop DIR
set -euo pipefail
action=$1
dir=$(realpath -m "$2")

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

if [ "$action" = stop ]; then
  if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/pid"
  fi
  exit 0
fi

rm -rf "$dir"
mkdir -p "$dir/data" "$dir/tmp" "$dir/user_files" "$dir/format_schemas" "$dir/log"
http_port=$(free_port)
tcp_port=$(free_port)
cat >"$dir/config.xml" <<XML
<yandex>
  <logger><level>warning</level><log>$dir/log/server.log</log><errorlog>$dir/log/error.log</errorlog><console>0</console></logger>
  <http_port>$http_port</http_port>
  <tcp_port>$tcp_port</tcp_port>
  <listen_host>127.0.0.1</listen_host>
  <path>$dir/data/</path>
  <tmp_path>$dir/tmp/</tmp_path>
  <user_files_path>$dir/user_files/</user_files_path>
  <format_schema_path>$dir/format_schemas/</format_schema_path>
  <users_config>$dir/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <mark_cache_size>268435456</mark_cache_size>
  <max_concurrent_queries>100</max_concurrent_queries>
</yandex>
XML
cat >"$dir/users.xml" <<XML
<yandex>
  <profiles><default><max_memory_usage>4000000000</max_memory_usage></default></profiles>
  <users><default><password></password><networks><ip>127.0.0.1</ip></networks>
    <profile>default</profile><quota>default</quota></default></users>
  <quotas><default></default></quotas>
</yandex>
XML
clickhouse-server --config-file="$dir/config.xml" >"$dir/log/stdout.log" 2>&1 &
echo $! >"$dir/pid"
for _ in $(seq 100); do
  if curl -sf "http://127.0.0.1:$http_port/ping" >/dev/null 2>&1; then
    echo "http://127.0.0.1:$http_port"
    exit 0
  fi
  kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
  sleep 0.2
done
echo "clickhouse-server did not start; see $dir/log" >&2
tail -20 "$dir/log/"*.log >&2 || true
exit 1
