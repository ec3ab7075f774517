#!/usr/bin/env bash
# A database outage under a steady flow of reports: the data centre runs
# headless with its main database on a PostgreSQL server of its own (made by
# scripts/pg-test-server on a free port and a new data folder, removed at the
# end, so no other user of the shared test server is disturbed), stationsim's
# stations send timed reports at a steady rate, and the server is stopped 30 s
# into the run for M minutes, then started again. The centre keeps
# acknowledging from its report journal meanwhile; the journal's backlog (its
# Reports rows, sampled every second) grows while the server is away and
# drains once it is back.
#
#   tools/bench/outage_bench.sh [--minutes M] [--rate R] [--stations N] [--build DIR] [--after S] [--keep]
#
# --minutes M   minutes the server is stopped (default 10; fractions allowed)
# --rate R      reports per second over all stations (default 500)
# --stations N  station connections (default 500)
# --build DIR   build folder with bin/RTU and bin/stationsim (default build)
# --after S     at most this many seconds of sending once the server is back
#               (default 60 + 6 times the outage)
# --keep        keep the working folder (it is kept anyway when something failed)
#
# The stations send in runs of stationsim: 30 s before the outage, one run
# during it, and after it runs of 30 s until the backlog has drained (or --after
# is over), so the latency during the outage is its own. Printed: the latency
# of each part, the reports acknowledged and those stored in the end (equal
# when nothing is lost), and the backlog's growth during the outage and its
# drain afterwards, in reports per second. The drain is the backlog's fall per
# second from its peak until it is back below one second of reports, with the
# stations still sending at the same rate; the writer wrote that plus the
# stations' rate meanwhile. Exit status 1 when a run of stationsim saw a
# missing or bad acknowledgement, fewer reports were stored than acknowledged,
# or the drain was slower than five times the growth.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tools/bench/centre_folder.sh
source "$here/tools/bench/centre_folder.sh"

build=build
minutes=10
rate=500
stations=500
after=
keep=0
while (($#)); do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --stations) stations=$2; shift 2 ;;
    --after) after=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,30p' "$0"; exit 0 ;;
    *) echo "outage_bench: unknown option '$1'" >&2; exit 2 ;;
  esac
done
[[ "$build" = /* ]] || build="$here/$build"
rtu="$build/bin/RTU"
sim="$build/bin/stationsim"
for p in "$rtu" "$sim"; do
  [[ -x "$p" ]] || { echo "outage_bench: $p is not built" >&2; exit 2; }
done
psql=/usr/lib/postgresql/15/bin/psql
[[ -x "$psql" ]] || psql=$(command -v psql) || { echo "outage_bench: psql is not installed" >&2; exit 2; }
outage=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 + 0.5 }')
((outage > 0)) || { echo "outage_bench: --minutes must be more than 0" >&2; exit 2; }
[[ -n "$after" ]] || after=$((60 + 6 * outage))
before=30

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
folder=$(mktemp -d /tmp/rtu-outage-XXXXXX)
chmod 755 "$folder"  # the server's data folder is inside; as root the server runs as postgres
port=$(free_port)
export RTU_PG_PORT
RTU_PG_PORT=$(free_port)
export RTU_PG_DATA=$folder/pg
pg_script="$here/scripts/pg-test-server"

pid=
sampler=
cleanup() {
  if [[ -n "$sampler" ]] && kill -0 "$sampler" 2>/dev/null; then kill "$sampler" 2>/dev/null || true; fi
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  "$pg_script" stop >/dev/null 2>&1 || true
}
trap cleanup EXIT
stamp() { date +%s.%N; }
say() { echo "outage: $*"; }

# The server and its tables (in the test database of this server, which goes
# with the folder).
eval "$("$pg_script" start 2>>"$folder/pg-script.log")"
conn_value() { tr ';' '\n' <<<"$RTU_TEST_PG_CONN" | sed -n "s/^$1=//p" | head -n 1; }
pg_host=$(conn_value Server) pg_user=$(conn_value UID) pg_password=$(conn_value PWD) pg_database=$(conn_value Database)
pg_sql() {
  PGPASSWORD=$pg_password "$psql" -X -q -v ON_ERROR_STOP=1 -h "$pg_host" -p "$RTU_PG_PORT" -U "$pg_user" \
    -d "$pg_database" "$@"
}
pg_sql -f "$here/config/sql/postgresql.sql" >/dev/null
stored_rows() { pg_sql -At -c "select count(*) from ReceiveData" 2>/dev/null || echo -1; }

# server.ini from the delivered one with the main database on this server,
# ParseDelay=0 (the delivered 10 ms pause before each frame allows one parse
# thread 100 frames a second) and these keys of [Set] replaced or added.
make_centre_folder "$folder" "Port=$port|Driver=PostgreSQL Unicode|Source=$pg_host:$RTU_PG_PORT|Name=$pg_database|User=$pg_user|Pwd=$pg_password|DBMode=1|ParseDelay=0"

say "folder $folder, RTU on 127.0.0.1:$port, PostgreSQL $pg_database on $pg_host:$RTU_PG_PORT (data in $RTU_PG_DATA)"
say "$stations stations, $rate timed reports/s; the server is stopped after ${before} s for ${outage} s, then the stations send until the backlog has drained (at most ${after} s)"
started=0
start_centre "$rtu" "$folder" "$port" && started=1
pid=$centre_pid
((started)) || exit 1

# The backlog: Reports rows of the journal, once a second, "seconds rows".
python3 - "$folder/rtu-journal.db" "$folder/backlog.txt" <<'PY' &
import sqlite3, sys, time
path, out = sys.argv[1], sys.argv[2]
with open(out, "w", buffering=1) as f:
    while True:
        t = time.time()
        try:
            db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5)
            n = db.execute("select count(*) from Reports").fetchone()[0]
            db.close()
        except sqlite3.Error:
            n = -1
        f.write("%.3f %d\n" % (t, n))
        time.sleep(max(0.0, 1.0 - (time.time() - t)))
PY
sampler=$!

status=0
# send PHASE SECONDS: one run of stationsim; its output in stationsim-PHASE.txt.
send() {
  local phase=$1 seconds=$2
  "$sim" --port "$port" --stations "$stations" --rate "$rate" --duration "$seconds" --kind 32 --expect-acks \
    >"$folder/stationsim-$phase.txt" 2>&1 || { say "stationsim ($phase) failed"; status=1; }
}
run_start=$(stamp)
send before "$before"

say "stopping PostgreSQL"
down_at=$(stamp)
"$pg_script" stop 2>>"$folder/pg-script.log"
stopped_in=$(awk -v a="$down_at" -v b="$(stamp)" 'BEGIN { printf "%.1f", b - a }')
send during "$outage"

say "starting PostgreSQL"
up_at=$(stamp)
"$pg_script" start >/dev/null 2>>"$folder/pg-script.log"
started_in=$(awk -v a="$up_at" -v b="$(stamp)" 'BEGIN { printf "%.1f", b - a }')
# backlog_now: the last sample of the backlog.
backlog_now() { tail -n 1 "$folder/backlog.txt" | cut -d ' ' -f 2; }
# Drained: back to one second of reports, or to the most it held before the outage.
level=$(awk -v down="$down_at" -v rate="$rate" '$1 < down && $2 > m { m = $2 } END { print (m > rate) ? m : rate }' \
  "$folder/backlog.txt")
phases=(before during)
sent_after=0
while ((sent_after < after)); do
  chunk=$((after - sent_after < 30 ? after - sent_after : 30))
  phase="after-$((${#phases[@]} - 1))"
  phases+=("$phase")
  send "$phase" "$chunk"
  sent_after=$((sent_after + chunk))
  b=$(backlog_now)
  ((b >= 0 && b <= level)) && break
done
sent_end=$(stamp)

acked=0
for phase in "${phases[@]}"; do
  n=$(sed -n -E 's/^acknowledged by kind: 32 ([0-9]+),.*/\1/p' "$folder/stationsim-$phase.txt" | head -n 1)
  acked=$((acked + ${n:-0}))
done
# The rest of the backlog: wait (up to the outage's length again) until every
# acknowledged report is stored.
deadline=$(($(date +%s) + outage + 60))
stored=$(stored_rows)
while ((stored < acked && $(date +%s) < deadline)); do
  sleep 1
  stored=$(stored_rows)
done
all_stored_at=$(stamp)
sleep 2  # two more samples of the backlog
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true
sampler=

kill -TERM "$pid"
stopped=0
for _ in $(seq 1 1200); do
  if ! kill -0 "$pid" 2>/dev/null; then stopped=1; break; fi
  sleep 0.1
done
if ((stopped)); then
  exit_code=0
  wait "$pid" || exit_code=$?
  pid=
  say "RTU stopped, exit code $exit_code"
  ((exit_code == 0)) || status=1
else
  say "RTU did not exit within 120 s of SIGTERM; killed"
  status=1
fi
stored=$(stored_rows)

for phase in "${phases[@]}"; do
  sed "s/^/stationsim ($phase): /" "$folder/stationsim-$phase.txt"
done
say "PostgreSQL stopped in $stopped_in s, started again in $started_in s; the stations sent $sent_after s after it"
# latency WHICH PHASE...: the highest of the runs' figures (p50, p99 or max).
latency() {
  local which=$1; shift
  for phase in "$@"; do
    sed -n -E "s/^acknowledgement latency: .*$which ([0-9.]+) ms.*/\1/p" "$folder/stationsim-$phase.txt" | head -n 1
  done | sort -g | tail -n 1
}
printf 'ack latency before the outage: p50 %s ms, p99 %s ms, max %s ms\n' \
  "$(latency p50 before)" "$(latency p99 before)" "$(latency max before)"
printf 'ack latency during the outage: p50 %s ms, p99 %s ms, max %s ms\n' \
  "$(latency p50 during)" "$(latency p99 during)" "$(latency max during)"
printf 'ack latency after the outage (the highest of %d runs): p50 %s ms, p99 %s ms, max %s ms\n' \
  "$((${#phases[@]} - 2))" "$(latency p50 "${phases[@]:2}")" "$(latency p99 "${phases[@]:2}")" \
  "$(latency max "${phases[@]:2}")"

# Backlog figures from the samples (seconds since the epoch, rows).
awk -v t0="$run_start" -v down="$down_at" -v up="$up_at" -v sent_end="$sent_end" -v rate="$rate" \
    -v acked="$acked" -v stored="$stored" '
  $2 >= 0 { n++; t[n] = $1; b[n] = $2 }
  END {
    # Growth: least-squares slope of the backlog over the outage, its first
    # and last 2 s left out.
    sx = sy = sxx = sxy = m = 0
    for (i = 1; i <= n; i++) if (t[i] >= down + 2 && t[i] <= up - 2) {
      m++; x = t[i] - down; sx += x; sy += b[i]; sxx += x * x; sxy += x * b[i]
    }
    growth = (m >= 2 && m * sxx - sx * sx > 0) ? (m * sxy - sx * sy) / (m * sxx - sx * sx) : 0
    # Before: the most the backlog held while the server was up.
    steady = 0
    for (i = 1; i <= n; i++) if (t[i] < down && b[i] > steady) steady = b[i]
    # Peak after the outage, then the first sample back below one second of
    # reports (or the level before the outage, if that was higher).
    peak = 0; ip = 0
    for (i = 1; i <= n; i++) if (t[i] >= down && b[i] >= peak) { peak = b[i]; ip = i }
    level = (rate > steady) ? rate : steady
    id = 0
    for (i = ip; i <= n; i++) if (b[i] <= level) { id = i; break }
    printf "backlog before the outage: at most %d reports\n", steady
    printf "backlog growth during the outage: %.0f reports/s (%d samples)\n", growth, m
    printf "backlog at its peak: %d reports, %.1f s after the server was started again\n", peak, (ip ? t[ip] - up : 0)
    if (id > 0) {
      drain_s = t[id] - t[ip]
      drain = drain_s > 0 ? (peak - b[id]) / drain_s : 0
      # The reports that came in meanwhile: the stations sent until sent_end.
      sending = t[id] < sent_end ? t[id] - t[ip] : (sent_end > t[ip] ? sent_end - t[ip] : 0)
      writer = drain_s > 0 ? (peak - b[id] + rate * sending) / drain_s : 0
      printf "backlog drained to %d reports in %.1f s from the peak (%.1f s after the server was back)\n", b[id], drain_s, t[id] - up
      printf "backlog drain: %.0f reports/s with the stations sending %.0f s of it (the writer: about %.0f reports/s)\n", drain, sending, writer
      printf "drain / growth: %.1f (goal >= 5)\n", (growth > 0) ? drain / growth : 0
      if (growth <= 0 || drain < 5 * growth) bad = 1
    } else {
      printf "backlog not drained: %d reports left at the end\n", b[n]
      bad = 1
    }
    printf "acknowledged timed reports: %d\n", acked
    printf "stored rows at the end: ReceiveData %d\n", stored
    printf "stored = acknowledged: %s\n", (stored == acked) ? "yes" : ((stored > acked) ? "more (a report stored twice?)" : "no")
    if (stored < acked) bad = 1
    exit bad
  }' "$folder/backlog.txt" || status=1

if ((status == 0 && !keep)); then
  "$pg_script" stop >/dev/null 2>&1 || true
  rm -rf "$folder"
else
  say "the folder is kept: $folder"
fi
exit $status
