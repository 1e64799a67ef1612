# Shared by the end-to-end scripts and scripts/demo (sourced, not run): starts the pieces of a
# simulated link as background processes, remembers their process ids and stops exactly those
# on exit.
#
# The caller sets WORK (a directory for this run's files) and may set E2E_BIN (the programs,
# default build/bin). Every process NAME leaves NAME.out and NAME.err in WORK.

E2E_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
E2E_BIN=${E2E_BIN:-$E2E_ROOT/build/bin}
E2E_PCSC_ENV="$E2E_ROOT/scripts/pcsc-env"
E2E_STANDIN="$E2E_ROOT/tools/gcs-standin/gcs-standin.js"
E2E_LOGCHECK="$E2E_ROOT/tools/gcs-standin/logcheck.js"
# Where scripts/setup installs node-mavlink.
export NODE_PATH="$E2E_ROOT/tests/node/node_modules${NODE_PATH:+:$NODE_PATH}"

E2E_T0=$EPOCHREALTIME
E2E_NAMES=()
E2E_PIDS=()
E2E_PCSC_STARTED=0
E2E_VERBOSE_FAILURE=1

e2e_now() { # seconds since the script started, 3 decimals
  awk -v a="$E2E_T0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'
}

e2e_log() { echo "[$(e2e_now) s] $*"; }

e2e_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

e2e_require() {
  local p
  for p in "$E2E_BIN/uav-link-relay" "$E2E_BIN/uav-sim"; do
    [ -x "$p" ] || e2e_fail "$p is not built"
  done
  command -v socat >/dev/null || e2e_fail "socat is not installed (scripts/setup)"
  command -v node >/dev/null || e2e_fail "node is not installed (scripts/setup)"
  [ -d "$E2E_ROOT/tests/node/node_modules/node-mavlink" ] ||
    e2e_fail "node-mavlink is not installed in tests/node (scripts/setup runs npm ci there)"
}

# pcscd is one per machine and the vpcd reader serves one card: runs from other build trees
# wait here instead of taking each other's card. The lock is on fd 8, which no child keeps.
e2e_machine_lock() {
  local lock=${E2E_MACHINE_LOCK:-/tmp/uav-link-pcsc.lock}
  exec 8>"$lock" || e2e_fail "cannot open $lock"
  if ! flock -n 8; then
    e2e_log "waiting for another smart-card run on this machine ($lock)"
    flock -w "${E2E_LOCK_WAIT:-240}" 8 || e2e_fail "$lock stays taken"
  fi
}

# Prefixes every line with the wall-clock time it was read, so that the order and the gaps
# between a program's lines can be checked afterwards.
e2e_stamp() {
  local line
  while IFS= read -r line; do
    printf '%s %s\n' "$EPOCHREALTIME" "$line"
  done
}

# e2e_start NAME [--stamp] CMD ARGS...: runs CMD in the background, stdout in WORK/NAME.out
# (time-stamped with --stamp), stderr in WORK/NAME.err.
e2e_start() {
  local name=$1 stamp=0
  shift
  if [ "${1:-}" = --stamp ]; then stamp=1; shift; fi
  : >"$WORK/$name.out"
  if [ $stamp = 1 ]; then
    # Through a FIFO, so that the stamper's pid is known and its last lines can be waited for.
    rm -f "$WORK/$name.fifo"
    mkfifo "$WORK/$name.fifo" || e2e_fail "cannot create $WORK/$name.fifo"
    e2e_stamp <"$WORK/$name.fifo" >"$WORK/$name.out" 8>&- &
    E2E_NAMES+=("$name.stamp")
    E2E_PIDS+=("$!")
    "$@" </dev/null >"$WORK/$name.fifo" 2>"$WORK/$name.err" 8>&- &
  else
    "$@" </dev/null >"$WORK/$name.out" 2>"$WORK/$name.err" 8>&- &
  fi
  E2E_NAMES+=("$name")
  E2E_PIDS+=("$!")
}

e2e_pid() {
  local i
  for i in "${!E2E_NAMES[@]}"; do
    [ "${E2E_NAMES[$i]}" = "$1" ] && { echo "${E2E_PIDS[$i]}"; return 0; }
  done
  return 1
}

e2e_alive() {
  local pid
  pid=$(e2e_pid "$1") && [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

# e2e_stop NAME [SIGNAL]: signals the process, waits for it (KILL after 10 s) and sets
# E2E_STATUS to its exit status. The name is then free for a new start.
e2e_stop() {
  local name=$1 sig=${2:-TERM} pid i
  E2E_STATUS=
  pid=$(e2e_pid "$name") || return 0
  if [[ $name == *.stamp ]]; then
    for ((i = 0; i < 100; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.02
    done
  fi
  if kill -0 "$pid" 2>/dev/null; then
    kill "-$sig" "$pid" 2>/dev/null
    for ((i = 0; i < 500; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.02
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "e2e: $name ($pid) ignored SIG$sig; killing it" >&2
      kill -KILL "$pid" 2>/dev/null
    fi
  fi
  wait "$pid" 2>/dev/null
  E2E_STATUS=$?
  e2e_forget "$name"
  # The stamper ends at the end of its input; its file is complete then.
  if [ -n "$(e2e_pid "$name.stamp")" ]; then
    local status=$E2E_STATUS
    e2e_stop "$name.stamp"
    E2E_STATUS=$status
  fi
}

e2e_forget() {
  local i
  for i in "${!E2E_NAMES[@]}"; do
    if [ "${E2E_NAMES[$i]}" = "$1" ]; then
      unset 'E2E_NAMES[i]' 'E2E_PIDS[i]'
    fi
  done
  E2E_NAMES=("${E2E_NAMES[@]}")
  E2E_PIDS=("${E2E_PIDS[@]}")
}

# e2e_wait NAME: waits for a process to end by itself and sets E2E_STATUS.
e2e_wait() {
  local pid status
  pid=$(e2e_pid "$1") || { E2E_STATUS=; return 0; }
  wait "$pid" 2>/dev/null
  status=$?
  e2e_stop "$1"
  E2E_STATUS=$status
}

# Stops what was started, newest first, and then pcscd and the card; shows the logs when the
# run failed (status $1).
e2e_teardown() {
  local status=$1 i names=("${E2E_NAMES[@]}")
  for ((i = ${#names[@]} - 1; i >= 0; i--)); do
    [[ ${names[$i]} == *.stamp ]] || e2e_stop "${names[$i]}"
  done
  for ((i = ${#names[@]} - 1; i >= 0; i--)); do
    e2e_stop "${names[$i]}"
  done
  if [ "$E2E_PCSC_STARTED" = 1 ]; then
    E2E_PCSC_STARTED=0
    "$E2E_PCSC_ENV" --dir "$WORK/pcsc" stop >/dev/null 2>>"$WORK/pcsc-env.err" 8>&- ||
      echo "e2e: stopping pcscd and the card failed (see $WORK/pcsc-env.err)" >&2
  fi
  if [ "$status" != 0 ] && [ "$E2E_VERBOSE_FAILURE" = 1 ]; then
    echo "--- files of the failed run in $WORK:" >&2
    for f in "$WORK"/*.out "$WORK"/*.err; do
      [ -s "$f" ] || continue
      echo "--- $(basename "$f") (last 40 lines)" >&2
      tail -n 40 "$f" >&2
    done
  fi
}

e2e_cleanup() {
  local status=$?
  e2e_teardown "$status"
  exit "$status"
}

e2e_traps() {
  trap e2e_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# e2e_wait_for FILE REGEX SECONDS [PROCESS]: until a line of FILE matches (grep -E). Fails
# early when PROCESS, given, has ended.
e2e_wait_for() {
  local file=$1 regex=$2 seconds=$3 name=${4:-} deadline
  deadline=$(awk -v t="$EPOCHREALTIME" -v s="$seconds" 'BEGIN { printf "%.0f", (t + s) * 1000 }')
  while :; do
    grep -qE -- "$regex" "$file" 2>/dev/null && return 0
    if [ -n "$name" ] && ! e2e_alive "$name"; then
      grep -qE -- "$regex" "$file" 2>/dev/null && return 0
      return 2
    fi
    [ "$(awk -v t="$EPOCHREALTIME" 'BEGIN { printf "%.0f", t * 1000 }')" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

e2e_pcsc_start() {
  e2e_machine_lock
  E2E_PCSC_STARTED=1
  "$E2E_PCSC_ENV" --dir "$WORK/pcsc" start "$@" >>"$WORK/pcsc-env.out" 2>>"$WORK/pcsc-env.err" 8>&- ||
    e2e_fail "pcsc-env start: $(tail -n1 "$WORK/pcsc-env.err")"
}

e2e_pcsc_start_daemon_only() {
  e2e_machine_lock
  E2E_PCSC_STARTED=1
  "$E2E_PCSC_ENV" --dir "$WORK/pcsc" start-pcscd >>"$WORK/pcsc-env.out" 2>>"$WORK/pcsc-env.err" 8>&- ||
    e2e_fail "pcsc-env start-pcscd: $(tail -n1 "$WORK/pcsc-env.err")"
  # A card left in the reader by an earlier run would be found.
  "$E2E_PCSC_ENV" --dir "$WORK/pcsc" stop-card >>"$WORK/pcsc-env.out" 2>>"$WORK/pcsc-env.err" 8>&-
}

# e2e_pty_pair GROUND AIR: a socat pseudo-terminal pair, the modem link between relay and
# aircraft. socat holds both slaves open itself, so it outlives a relay that closes its end.
e2e_pty_pair() {
  local ground=$1 air=$2 i
  rm -f "$ground" "$air"
  e2e_start socat socat -d pty,link="$ground",raw,echo=0 pty,link="$air",raw,echo=0
  for ((i = 0; i < 250; i++)); do
    [ -L "$ground" ] && [ -L "$air" ] && return 0
    e2e_alive socat || break
    sleep 0.02
  done
  e2e_fail "socat did not create $ground and $air: $(tail -n1 "$WORK/socat.err")"
}

# Text after "key=" in a key=value summary file.
e2e_value() { sed -n "s/^$2=//p" "$1" | tail -n1; }

# Status lines of a time-stamped relay output, without the stamps.
e2e_lines() { cut -d' ' -f2- "$1"; }

# Seconds (3 decimals) from the script start to the stamp of the first line matching REGEX.
e2e_line_time() {
  local stamp
  stamp=$(grep -E -- "$2" "$1" | head -n1 | cut -d' ' -f1)
  [ -n "$stamp" ] || { echo none; return; }
  awk -v a="$E2E_T0" -v b="$stamp" 'BEGIN { printf "%.3f", b - a }'
}

# e2e_timeline RELAY-OUT SIM-ERR SIM-T0 RELAY-T0: where the time from the relay's start to
# relaying goes, from the relay's stamped status lines and the aircraft's progress lines
# ("uav-sim: [MS ms] text", MS since SIM-T0). Times are seconds since the relay started.
e2e_timeline() {
  local relay_out=$1 sim_err=$2 sim_t0=$3 relay_t0=$4 since_ms
  since_ms=$(awk -v a="$sim_t0" -v b="$relay_t0" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
  sim_event() {
    awk -v since="$since_ms" -v t0="$sim_t0" -v pat="$1" '
      /^uav-sim: \[[0-9]+ ms\] / {
        ms = substr($0, 11) + 0
        text = substr($0, index($0, "] ") + 2)
        if (ms >= since && index(text, pat) == 1) { printf "%.6f", t0 + ms / 1000; exit }
      }' "$sim_err"
  }
  relay_event() { grep -F -- "$1" "$relay_out" | head -n1 | cut -d' ' -f1; }
  local keys auth hello handshake success escape ats3 atw atz netid
  keys=$(relay_event "Выполняется загрузка ключей...")
  auth=$(relay_event "Выполняется аутентификация...")
  hello=$(sim_event "ground hello accepted")
  handshake=$(sim_event "handshake ok")
  success=$(relay_event "Аутентификация успешно завершена")
  escape=$(sim_event "modem: +++")
  ats3=$(sim_event "modem: ATS3=")
  atw=$(sim_event "modem: AT&W")
  atz=$(sim_event "modem: ATZ")
  netid=$(relay_event "Net ID: ")
  awk -v t0="$relay_t0" -v keys="$keys" -v auth="$auth" -v hello="$hello" \
      -v handshake="$handshake" -v success="$success" -v escape="$escape" -v ats3="$ats3" \
      -v atw="$atw" -v atz="$atz" -v netid="$netid" '
    function row(t, prev, what, why) {
      if (t == "") { printf "   %8s  %-44s\n", "-", what; return }
      if (prev == "") printf "   %8.3f  %-44s\n", t - t0, what
      else printf "   %8.3f  %-44s %+.3f s  %s\n", t - t0, what, t - prev, why
    }
    BEGIN {
      print "   time (s)  since the relay started"
      row(keys, "", "key loading begins", "")
      row(auth, keys, "keys read from the card", "key loading")
      row(hello, auth, "the aircraft'"'"'s hello answered", "waiting for its next hello")
      row(handshake, hello, "finished messages exchanged", "handshake")
      row(success, handshake, "authentication succeeded", "the quiet seconds after the last reply")
      row(escape, success, "modem: +++", "guard time before the escape")
      row(ats3, escape, "modem: ATS3=", "guard time after the escape")
      row(atw, ats3, "modem: AT&W", "pause")
      row(atz, atw, "modem: ATZ", "pause")
      row(netid, atz, "Net ID published, relaying", "pause")
      if (netid != "" && keys != "" && auth != "" && hello != "" && success != "")
        printf "   start to relaying %.2f s: key loading %.2f, hello wait %.2f, handshake %.3f, quiet %.2f, modem %.2f\n",
          netid - t0, auth - t0, hello - auth, handshake - hello, success - handshake, netid - success
    }'
}
