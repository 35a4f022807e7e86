# What scripts/run.sh and scripts/run-cluster.sh share (sourced, not run):
# their lines, free ports, the INI configuration file, a private tgtd, and a
# wzscsid started in the background that says when it serves. Every process
# is stopped by its process id, never by name.
#
# The caller sets RUN_NAME (the prefix of its lines) and DAEMON (wzscsid).

say() { echo "$RUN_NAME: $*" >&2; }
die() {
  say "$*"
  exit 1
}

port_busy() { [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; }

# The first free port from $1 on that is not in the rest of the arguments.
free_port() {
  local port=$1
  shift
  while port_busy "$port" || [[ " $* " == *" $port "* ]]; do port=$((port + 1)); done
  echo "$port"
}

# set_conf FILE SECTION KEY VALUE: sets one key of an INI file, keeping
# everything else.
set_conf() {
  python3 - "$1" "$2" "$3" "$4" <<'EOF'
import configparser, os, sys
path, section, key, value = sys.argv[1:5]
cp = configparser.ConfigParser(interpolation=None, strict=False)
cp.optionxform = str
if os.path.exists(path):
    cp.read(path)
if not cp.has_section(section):
    cp.add_section(section)
cp.set(section, key, value)
tmp = path + ".run-tmp"
with open(tmp, "w") as f:
    cp.write(f, space_around_delimiters=False)
os.replace(tmp, path)
EOF
}

# start_tgtd DIR PORT: tgtd in the foreground (in the background of this
# script) with its control socket DIR/sock.0, its log DIR/tgtd.log and the
# portal 127.0.0.1:PORT; sets TGTD_STARTED_PID. Fails, with tgtd stopped,
# when the socket does not appear within 10 s.
start_tgtd() {
  local dir=$1 port=$2
  mkdir -p "$dir"
  rm -f "$dir/sock.0" "$dir/sock.0.lock"
  TGT_IPC_SOCKET=$dir/sock tgtd -f -t 1 -C 0 --iscsi "portal=127.0.0.1:$port" >"$dir/tgtd.log" 2>&1 &
  TGTD_STARTED_PID=$!
  for _ in $(seq 100); do
    [ -S "$dir/sock.0" ] && return 0
    kill -0 "$TGTD_STARTED_PID" 2>/dev/null || break
    sleep 0.1
  done
  stop_pids KILL "$TGTD_STARTED_PID"
  TGTD_STARTED_PID=""
  return 1
}

# start_daemon ARG...: $DAEMON in the background with ARGs, waiting until it
# says it serves (--ready-fd); sets DAEMON_STARTED_PID. Fails when the
# daemon ended before it served.
start_daemon() {
  local fifo ready=0
  fifo=$(mktemp -u "${TMPDIR:-/tmp}/wzscsid-ready.XXXXXX")
  mkfifo "$fifo"
  "$DAEMON" "$@" --ready-fd 3 3>"$fifo" &
  DAEMON_STARTED_PID=$!
  read -r _ <"$fifo" && ready=1
  rm -f "$fifo"
  [ "$ready" = 1 ]
}

# stop_pids SIGNAL PID...: sends SIGNAL to each PID, then waits for each
# (tgtd ignores SIGTERM: it takes KILL).
stop_pids() {
  local sig=$1 pid
  shift
  for pid in "$@"; do kill "-$sig" "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}
