#!/usr/bin/env bash
# Two strovik-mcp hosts (--node a, --node b) behind Debian's nginx on 127.0.0.1, with the
# README's configuration, driven by SDK clients over SSE and streamable HTTP through the
# proxy. Not part of CI: it installs nginx with apt-get when it is missing. Everything
# listens on 127.0.0.1 and is stopped when the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
[ -x "$PY" ] || bash scripts/bootstrap.sh >&2
if ! command -v nginx >/dev/null 2>&1 && [ ! -x /usr/sbin/nginx ]; then
    echo "try-proxy: installing nginx" >&2
    apt-get update -qq >&2 && (apt-get install -y -qq nginx-light >&2 || apt-get install -y -qq nginx >&2)
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

DIR=$(mktemp -d /tmp/strovik-try-proxy-XXXXXX)
KEY=try-proxy-key-0123456789
read -r PORT_A PORT_B PORT_P < <("$PY" -c '
import socket
socks = [socket.socket() for _ in range(3)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))')

PIDS=()
cleanup() {
    [ -f "$DIR/nginx.pid" ] && kill -QUIT "$(cat "$DIR/nginx.pid")" 2>/dev/null || true
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$DIR"
}
trap cleanup EXIT

for node in a b; do
    port=$([ "$node" = a ] && echo "$PORT_A" || echo "$PORT_B")
    "$PY" -m strovik.mcp --host 127.0.0.1 --port "$port" --api-key "$KEY" --node "$node" --workers 2 \
        >"$DIR/$node.out" 2>"$DIR/$node.err" &
    PIDS+=($!)
done

mkdir -p "$DIR/tmp"
cat >"$DIR/nginx.conf" <<CONF
worker_processes 1;
pid $DIR/nginx.pid;
error_log $DIR/nginx-error.log;
events {}
http {
    access_log $DIR/nginx-access.log;
    client_body_temp_path $DIR/tmp;
    proxy_temp_path $DIR/tmp;
    fastcgi_temp_path $DIR/tmp;
    uwsgi_temp_path $DIR/tmp;
    scgi_temp_path $DIR/tmp;

    # A session's requests go to the host that holds it: an SSE message names it in the
    # worker parameter, a streamable-HTTP request in its session id; both begin "NODE.".
    map "\$arg_worker\$http_mcp_session_id" \$strovik_upstream {
        ~^a\.   strovik_a;
        ~^b\.   strovik_b;
        default strovik_any;
    }
    upstream strovik_any { server 127.0.0.1:$PORT_A; server 127.0.0.1:$PORT_B; keepalive 16; }
    upstream strovik_a { server 127.0.0.1:$PORT_A; keepalive 16; }
    upstream strovik_b { server 127.0.0.1:$PORT_B; keepalive 16; }

    server {
        listen 127.0.0.1:$PORT_P;
        location / {
            proxy_pass http://\$strovik_upstream;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header Host \$host;
            proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
            proxy_set_header X-Forwarded-Proto \$scheme;
            proxy_buffering off;          # SSE events go out as they come
            proxy_read_timeout 1h;        # and an SSE stream may stay quiet for long
        }
    }
}
CONF
"$NGINX" -t -q -c "$DIR/nginx.conf" -p "$DIR" -e "$DIR/nginx-error.log"
"$NGINX" -c "$DIR/nginx.conf" -p "$DIR" -e "$DIR/nginx-error.log"

"$PY" - "http://127.0.0.1:$PORT_P" "$KEY" "$DIR" <<'CLIENTS'
import asyncio, json, sys, time, urllib.request
import httpx2
from mcp.client import Client
from mcp.client.sse import sse_client
from mcp.client.streamable_http import streamable_http_client

base, key, directory = sys.argv[1:4]

deadline = time.monotonic() + 90
while True:
    try:
        for node in "ab":
            if open(f"{directory}/{node}.err").read().count("Application startup complete") < 2:
                raise OSError("starting")
        with urllib.request.urlopen(base + "/healthz", timeout=2) as response:
            print("GET /healthz through nginx:", response.status, response.read().decode())
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("try-proxy: the servers did not start")
        time.sleep(0.3)

async def session(transport):
    url = f"{base}/{'sse' if transport == 'sse' else 'mcp'}?api_key={key}"
    if transport == "sse":
        connect = sse_client(url, timeout=30)
        mode = "auto"
    else:
        connect = streamable_http_client(url, http_client=httpx2.AsyncClient(timeout=30))
        mode = "legacy"
    async with Client(connect, mode=mode) as client:
        answers = [await client.call_tool("whoami", {}) for _ in range(5)]
    assert not any(a.is_error for a in answers), answers
    return json.loads(answers[-1].content[0].text)

async def main():
    for transport, label in (("sse", "SSE"), ("http", "streamable HTTP (session-bound, legacy protocol)")):
        results = await asyncio.gather(*(session(transport) for _ in range(6)))
        print(f"{label}: 6 sessions x 5 whoami calls through nginx: all answered, e.g. {results[0]}")

asyncio.run(main())
log = open(f"{directory}/nginx-access.log").read().splitlines()
print(f"nginx passed on {len(log)} requests")
for node in "ab":
    out = open(f"{directory}/{node}.out").read()
    print(f"host {node}: {out.count('POST /messages/')} SSE messages, {out.count('POST /mcp')} streamable-HTTP posts, "
          f"{out.count('GET /sse')} SSE streams")
CLIENTS
echo "try-proxy: ok"
