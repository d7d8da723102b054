#!/bin/bash
# tools/demo.sh BINDIR: runs tarn in a sandbox of its own (network and mount
# namespaces), asks it for its version with tarnctl, shows the answer and the
# daemon's log, and stops it with SIGTERM.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$here/build/bin}" && pwd)
if [ -z "${TARN_SANDBOXED:-}" ]; then
    exec "$here/tests/sandbox" "$0" "$bin"
fi
export PATH="$bin:$PATH"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "device configuration (/etc/config/network inside the sandbox)"
cat > /etc/config/network <<'CONF'
config interface 'wan'
	option ifname 'lo'
	option macaddr '00:11:22:AA:BB:CC'
CONF
cat /etc/config/network

say "starting tarn -d (it daemonises; log in /var/log/tarn.log)"
tarn -d > /var/log/tarn.log 2>&1
for _ in $(seq 100); do grep -q "p2p daemon started" /var/log/tarn.log && break; sleep 0.05; done
pid=$(cat /var/run/tarn.pid)
echo "tarn runs as pid $pid"

say "tarnctl info"
tarnctl info

say "tarnctl ready with an unknown session id"
tarnctl ready 001122AABBCC-0-unknown || echo "(exit status $?: error answer)"

say "stopping tarn with SIGTERM"
kill -TERM "$pid"
while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done

say "tarn's log"
cat /var/log/tarn.log
