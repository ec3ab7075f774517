#!/usr/bin/env bash
# Acknowledged and stored timed reports per second, end to end: the data
# centre runs headless in a new folder made from config/ (SQLite main
# database, a free port, ParseDelay=0, logging as delivered), stationsim's
# stations send timed reports as fast as they are acknowledged; then the
# ReceiveData rows of its database are counted until every acknowledged report
# is stored, and the centre is stopped with SIGTERM.
#
#   tools/bench/e2e_reports.sh [--build DIR] [--stations N] [--duration S] [--stop-limit S] [--keep]
#
# --build DIR    build folder with bin/RTU and bin/stationsim (default build)
# --stations N   station connections (default 1000)
# --duration S   seconds of sending (default 20)
# --stop-limit S seconds the centre may take to store what it acknowledged,
#                and again to exit (default 120)
# --keep         keep the working folder (it is kept anyway when something failed)
#
# The figure is the reports acknowledged divided by the seconds from the first
# report sent until the last acknowledged one is stored. Exit status 1 when the
# centre did not start or stop, stationsim saw a missing or bad
# acknowledgement, or fewer rows were stored than reports acknowledged.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)

build=build
stations=1000
duration=20
stop_limit=120
keep=0
while (($#)); do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --stations) stations=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --stop-limit) stop_limit=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "e2e_reports: unknown option '$1'" >&2; exit 2 ;;
  esac
done
[[ "$build" = /* ]] || build="$here/$build"
rtu="$build/bin/RTU"
sim="$build/bin/stationsim"
for p in "$rtu" "$sim"; do
  [[ -x "$p" ]] || { echo "e2e_reports: $p is not built" >&2; exit 2; }
done

folder=$(mktemp -d /tmp/rtu-e2e-XXXXXX)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')

# server.ini from the delivered one, with these keys of [Set] replaced (or
# added when missing); every other key and section as delivered.
cp "$here/config/config.ini" "$here/config/IOCP_log.cfg" "$folder/"
awk -v port="$port" '
  BEGIN { n = split("Port=" port " Driver=SQLite3 Name=rtu.db DBMode=1 ParseDelay=0", kv, " ")
          for (i = 1; i <= n; i++) { k = substr(kv[i], 1, index(kv[i], "=") - 1); want[k] = kv[i]; order[i] = k } }
  function add_missing(   i) { for (i = 1; i <= n; i++) if (!(order[i] in seen)) print want[order[i]] }
  /^\[/ { if (section == "Set") add_missing(); section = substr($0, 2, index($0, "]") - 2); print; next }
  section == "Set" && /^[A-Za-z_]+=/ {
    k = substr($0, 1, index($0, "=") - 1)
    if (k in want) { print want[k]; seen[k] = 1; next }
  }
  { print }
  END { if (section == "Set") add_missing() }
' "$here/config/server.ini" >"$folder/server.ini"

pid=
cleanup() {
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

echo "e2e: folder $folder, RTU on 127.0.0.1:$port, SQLite rtu.db, ParseDelay 0, logging as IOCP_log.cfg delivers"
echo "e2e: $stations stations send timed reports (32) for $duration s, one in flight each"
(cd "$folder" && exec "$rtu" --headless >"$folder/rtu.out" 2>&1) &
pid=$!

listening=0
for _ in $(seq 1 300); do
  kill -0 "$pid" 2>/dev/null || break
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then listening=1; break; fi
  sleep 0.1
done
if ((!listening)); then
  echo "e2e: RTU did not start listening on port $port; its output:" >&2
  cat "$folder/rtu.out" >&2 || true
  exit 1
fi

count_rows() {
  python3 - "$folder/rtu.db" <<'PY'
import sqlite3, sys
try:
    db = sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True, timeout=30)
    print(*(db.execute("select count(*) from %s" % t).fetchone()[0] for t in ("ReceiveData", "DeviceTimingData")))
except sqlite3.Error:
    print(-1, -1)
PY
}

status=0
sim_start=$(date +%s.%N)
"$sim" --port "$port" --stations "$stations" --fast --duration "$duration" --kind 32 --expect-acks \
  >"$folder/stationsim.txt" 2>&1 || status=1
sed 's/^/stationsim: /' "$folder/stationsim.txt"

acked=$(sed -n -E 's/^acknowledged by kind: 32 ([0-9]+),.*/\1/p' "$folder/stationsim.txt" | head -n 1)
acked=${acked:-0}
# Every acknowledged report stored: the time it took since the first was sent.
deadline=$(($(date +%s) + stop_limit))
while (($(date +%s) < deadline)); do
  read -r stored timing <<<"$(count_rows)"
  ((stored >= acked)) && break
  sleep 0.2
done
stored_seconds=$(awk -v a="$sim_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')

# Stop: the centre writes what it still holds, then exits.
stop_start=$(date +%s.%N)
kill -TERM "$pid"
stopped=0
deadline=$(($(date +%s) + stop_limit))
while (($(date +%s) < deadline)); do
  if ! kill -0 "$pid" 2>/dev/null; then stopped=1; break; fi
  sleep 0.1
done
stop_seconds=$(awk -v a="$stop_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
if ((stopped)); then
  exit_code=0
  wait "$pid" || exit_code=$?
  pid=
  echo "e2e: RTU stopped in $stop_seconds s, exit code $exit_code"
  ((exit_code == 0)) || status=1
else
  echo "e2e: RTU did not exit within $stop_limit s of SIGTERM; killed"
  status=1
fi

read -r stored timing <<<"$(count_rows)"

awk -v acked="$acked" -v stored="$stored" -v timing="$timing" -v duration="$duration" -v took="$stored_seconds" 'BEGIN {
  printf "acknowledged timed reports: %d in %d s, %.0f/s\n", acked, duration, acked / duration
  printf "stored rows: ReceiveData %d, DeviceTimingData %d\n", stored, timing
  printf "stored >= acknowledged: %s\n", (stored >= acked ? "yes" : "no")
  printf "every acknowledged report stored %.2f s after the first was sent\n", took
  printf "acknowledged and stored timed reports/s: %.0f\n", (stored >= acked ? acked / took : 0)
}'
((stored >= acked)) || status=1

if ((status == 0 && !keep)); then
  rm -rf "$folder"
else
  echo "e2e: the folder is kept: $folder"
fi
exit $status
