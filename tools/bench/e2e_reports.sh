#!/usr/bin/env bash
# Acknowledged and stored timed reports per second, end to end: the data
# centre runs headless in a new folder made from config/ (SQLite main
# database, or PostgreSQL with --pg; a free port, ParseDelay=0, logging as
# delivered), stationsim's stations send timed reports as fast as they are
# acknowledged; then the ReceiveData rows of its database are counted until
# every acknowledged report is stored, and the centre is stopped with SIGTERM.
#
#   tools/bench/e2e_reports.sh [--build DIR] [--stations N] [--duration S] [--stop-limit S] [--keep]
#                              [--pg] [--commlog 0|1] [--secondary]
#
# --build DIR    build folder with bin/RTU and bin/stationsim (default build)
# --stations N   station connections (default 1000)
# --duration S   seconds of sending (default 20)
# --stop-limit S seconds the centre may take to store what it acknowledged,
#                and again to exit (default 120)
# --keep         keep the working folder (it is kept anyway when something failed)
# --pg           the main database on the private PostgreSQL server of
#                scripts/pg-test-server (started when it is not running, and
#                then stopped at the end): a new database made for the run
#                from config/sql/postgresql.sql, dropped at the end
# --commlog 0|1  with --pg: the ODBC driver's communication log (a file per
#                connection in /tmp) off or on, through a copy of the system's
#                odbcinst.ini with CommLog set (default: the system's as it is)
# --secondary    the secondary database in use as well (section SetThird):
#                the file rtu-2nd.db, or with --pg the same PostgreSQL
#                database; a report counts as stored once its ST_RIVER_R row
#                is there too
#
# The figure is the reports acknowledged divided by the seconds from the first
# report sent until the last acknowledged one is stored (0 when that took more
# than --stop-limit; the rate at which rows were stored until then is printed
# as well). Exit status 1 when the centre did not start or stop, stationsim saw
# a missing or bad acknowledgement, or fewer rows were stored than reports
# acknowledged.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tools/bench/centre_folder.sh
source "$here/tools/bench/centre_folder.sh"

build=build
stations=1000
duration=20
stop_limit=120
keep=0
pg=0
commlog=
secondary=0
while (($#)); do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --stations) stations=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --stop-limit) stop_limit=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --pg) pg=1; shift ;;
    --commlog) commlog=$2; shift 2 ;;
    --secondary) secondary=1; shift ;;
    -h|--help) sed -n '2,35p' "$0"; exit 0 ;;
    *) echo "e2e_reports: unknown option '$1'" >&2; exit 2 ;;
  esac
done
[[ "$build" = /* ]] || build="$here/$build"
rtu="$build/bin/RTU"
sim="$build/bin/stationsim"
for p in "$rtu" "$sim"; do
  [[ -x "$p" ]] || { echo "e2e_reports: $p is not built" >&2; exit 2; }
done

[[ -z "$commlog" || "$commlog" == 0 || "$commlog" == 1 ]] || { echo "e2e_reports: --commlog takes 0 or 1" >&2; exit 2; }

folder=$(mktemp -d /tmp/rtu-e2e-XXXXXX)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')

pid=
pg_started=0
pg_database=
pg_sql() {  # pg_sql DATABASE ARGS...: psql as the test role, quiet, stopping at the first error
  local database=$1; shift
  PGPASSWORD=$pg_password "$psql" -X -q -v ON_ERROR_STOP=1 -h "$pg_host" -p "$pg_port" -U "$pg_user" -d "$database" "$@"
}
cleanup() {
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  if [[ -n "$pg_database" ]]; then
    pg_sql "$pg_admin_database" -c "DROP DATABASE IF EXISTS $pg_database WITH (FORCE)" >/dev/null 2>&1 || true
  fi
  if ((pg_started)); then "$here/scripts/pg-test-server" stop >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

database_keys="Driver=SQLite3|Name=rtu.db"
database_text="SQLite rtu.db"
if ((pg)); then
  psql=/usr/lib/postgresql/15/bin/psql
  [[ -x "$psql" ]] || psql=$(command -v psql) || { echo "e2e_reports: psql is not installed" >&2; exit 2; }
  "$here/scripts/pg-test-server" status >/dev/null 2>&1 || pg_started=1
  eval "$("$here/scripts/pg-test-server" start)"
  # Driver=...;Server=HOST;Port=N;Database=D;UID=U;PWD=P
  conn_value() { tr ';' '\n' <<<"$RTU_TEST_PG_CONN" | sed -n "s/^$1=//p" | head -n 1; }
  pg_host=$(conn_value Server) pg_port=$(conn_value Port) pg_user=$(conn_value UID) pg_password=$(conn_value PWD)
  pg_admin_database=$(conn_value Database)
  pg_database="rtu_e2e_$$"
  pg_sql "$pg_admin_database" -c "CREATE DATABASE $pg_database" >/dev/null
  pg_sql "$pg_database" -f "$here/config/sql/postgresql.sql" >/dev/null
  database_keys="Driver=PostgreSQL Unicode|Source=$pg_host:$pg_port|Name=$pg_database|User=$pg_user|Pwd=$pg_password"
  database_text="PostgreSQL database $pg_database on $pg_host:$pg_port"
  if [[ -n "$commlog" ]]; then
    # The same drivers, CommLog as asked; unixODBC reads $ODBCSYSINI/$ODBCINSTINI.
    awk -v v="$commlog" '/^[ \t]*CommLog[ \t]*=/ { print "CommLog=" v; next } { print }' /etc/odbcinst.ini \
      >"$folder/odbcinst.ini"
    export ODBCSYSINI=$folder ODBCINSTINI=odbcinst.ini
    database_text+=", driver CommLog=$commlog"
  fi
fi

make_centre_folder "$folder" "Port=$port|$database_keys|DBMode=1|ParseDelay=0"
if ((secondary)); then
  if ((pg)); then
    set_section_keys "$folder" SetThird "$database_keys|DBMode=1"
  else
    set_section_keys "$folder" SetThird "Driver=SQLite3|Name=rtu-2nd.db|DBMode=1"
  fi
  database_text+=", secondary database as well"
fi

echo "e2e: folder $folder, RTU on 127.0.0.1:$port, $database_text, ParseDelay 0, logging as IOCP_log.cfg delivers"
echo "e2e: $stations stations send timed reports (32) for $duration s, one in flight each"
started=0
start_centre "$rtu" "$folder" "$port" && started=1
pid=$centre_pid
((started)) || exit 1

# "stored timing": ReceiveData rows (with --secondary the fewer of them and
# the ST_RIVER_R rows) and DeviceTimingData rows.
count_rows() {
  local rows river=
  if ((pg)); then
    rows=$(pg_sql "$pg_database" -At -F ' ' \
      -c "select (select count(*) from ReceiveData), (select count(*) from DeviceTimingData)" 2>/dev/null) || rows="-1 -1"
    ((secondary)) && { river=$(pg_sql "$pg_database" -At -c "select count(*) from ST_RIVER_R" 2>/dev/null) || river=-1; }
  else
    rows=$(python3 - "$folder/rtu.db" <<'PY'
import sqlite3, sys
try:
    db = sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True, timeout=30)
    print(*(db.execute("select count(*) from %s" % t).fetchone()[0] for t in ("ReceiveData", "DeviceTimingData")))
except sqlite3.Error:
    print(-1, -1)
PY
)
    if ((secondary)); then
      river=$(python3 - "$folder/rtu-2nd.db" <<'PY'
import sqlite3, sys
try:
    db = sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True, timeout=30)
    print(db.execute("select count(*) from ST_RIVER_R").fetchone()[0])
except sqlite3.Error:
    print(-1)
PY
)
    fi
  fi
  local receive timing
  read -r receive timing <<<"$rows"
  [[ -n "$river" ]] && ((river < receive)) && receive=$river
  echo "$receive $timing"
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
stored_by_then=$stored

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

awk -v acked="$acked" -v stored="$stored" -v timing="$timing" -v duration="$duration" -v took="$stored_seconds" \
    -v by_then="$stored_by_then" -v limit="$stop_limit" 'BEGIN {
  printf "acknowledged timed reports: %d in %d s, %.0f/s\n", acked, duration, acked / duration
  printf "stored rows: ReceiveData %d, DeviceTimingData %d\n", stored, timing
  printf "stored >= acknowledged: %s\n", (stored >= acked ? "yes" : "no")
  if (by_then >= acked)
    printf "every acknowledged report stored %.2f s after the first was sent\n", took
  else
    printf "not every acknowledged report stored within %d s of the end of sending: %d of %d in %.2f s\n", limit, by_then, acked, took
  # How fast the rows went in: what was stored by then over the time since
  # the first report was sent (the figure below when everything was stored).
  printf "stored timed reports/s: %.0f\n", by_then / took
  printf "acknowledged and stored timed reports/s: %.0f\n", (by_then >= acked && stored >= acked ? acked / took : 0)
}'
((stored >= acked)) || status=1

if ((status == 0 && !keep)); then
  rm -rf "$folder"
else
  echo "e2e: the folder is kept: $folder"
fi
exit $status
