# Shell functions of the benchmark scripts that run the data centre: a working
# folder made from config/, and RTU started in it. Sourced, not run.
#
#   make_centre_folder FOLDER "Key=value|Key=value..."
#       copies config.ini and IOCP_log.cfg from config/ and writes server.ini
#       from the delivered one with these keys of section [Set] replaced (or
#       added when missing); every other key and section as delivered.
#   set_section_keys FOLDER SECTION "Key=value|Key=value..."
#       the same for the keys of another section of FOLDER/server.ini.
#   start_centre RTU FOLDER PORT
#       starts "RTU --headless" in FOLDER (output in FOLDER/rtu.out), sets
#       centre_pid, and waits up to 30 s for the port to listen; non-zero
#       (with RTU's output on stderr) when it does not.

# replace_keys SECTION KEYS <IN >OUT
replace_keys() {
  awk -v want_section="$1" -v keys="$2" '
    BEGIN { n = split(keys, kv, "|")
            for (i = 1; i <= n; i++) { k = substr(kv[i], 1, index(kv[i], "=") - 1); want[k] = kv[i]; order[i] = k } }
    function add_missing(   i) { for (i = 1; i <= n; i++) if (!(order[i] in seen)) print want[order[i]] }
    /^\[/ { if (section == want_section) add_missing(); section = substr($0, 2, index($0, "]") - 2); print; next }
    section == want_section && /^[A-Za-z_]+=/ {
      k = substr($0, 1, index($0, "=") - 1)
      if (k in want) { print want[k]; seen[k] = 1; next }
    }
    { print }
    END { if (section == want_section) add_missing() }
  '
}

make_centre_folder() {
  local folder=$1 keys=$2 source
  source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/config
  cp "$source/config.ini" "$source/IOCP_log.cfg" "$folder/"
  replace_keys Set "$keys" <"$source/server.ini" >"$folder/server.ini"
}

set_section_keys() {
  local folder=$1 section=$2 keys=$3
  replace_keys "$section" "$keys" <"$folder/server.ini" >"$folder/server.ini.new"
  mv "$folder/server.ini.new" "$folder/server.ini"
}

start_centre() {
  local rtu=$1 folder=$2 port=$3
  (cd "$folder" && exec "$rtu" --headless >"$folder/rtu.out" 2>&1) &
  centre_pid=$!
  for _ in $(seq 1 300); do
    kill -0 "$centre_pid" 2>/dev/null || break
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "RTU did not start listening on port $port; its output:" >&2
  cat "$folder/rtu.out" >&2 || true
  return 1
}
