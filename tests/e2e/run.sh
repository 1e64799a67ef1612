#!/usr/bin/env bash
# End-to-end runs of the whole link: pcscd with the vpcd reader and the simulated card, a socat
# pseudo-terminal pair as the radio, uav-sim as aircraft and modem on one end, uav-link-relay on
# the other, and the node-mavlink ground-control stand-in on the relay's virtual port.
#
#   tests/e2e/run.sh --bin DIR --work DIR SCENARIO
#
# SCENARIO: link, vport, no-card, replay-tamper, demo, soak.
# soak runs traffic for SOAK_SECONDS (60) through link-fault with seed SOAK_SEED (1).
# Each run starts and stops everything it needs itself, by process id; pcscd is one per
# machine, so runs must not overlap (CTest: RUN_SERIAL).
set -uo pipefail

[ "${1:-}" = --bin ] && [ "${3:-}" = --work ] && [ -n "${5:-}" ] || {
  sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}
BIN=$2 WORK=$4 SCENARIO=$5
E2E_BIN=$(cd "$BIN" && pwd)
rm -rf "$WORK"
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
# shellcheck source=../../scripts/link-lib.sh
source "$(dirname "$0")/../../scripts/link-lib.sh"
e2e_traps
e2e_require

KEY_LOADING="Выполняется загрузка ключей..."
AUTHENTICATING="Выполняется аутентификация..."
SUCCEEDED="Аутентификация успешно завершена"

# The virtual port goes into this run's directory, away from anyone else's.
export XDG_RUNTIME_DIR="$WORK/xdg"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
GCS_PORT="$XDG_RUNTIME_DIR/uav-link-gcs"
# Serial port lock files are named after the link, so the names carry this run's pid.
GROUND="$WORK/modem-$$-ground"
AIR="$WORK/modem-$$-air"

expect_value() { # expect_value FILE KEY VALUE
  local got
  got=$(e2e_value "$1" "$2")
  [ "$got" = "$3" ] || e2e_fail "$(basename "$1"): $2=$got, expected $3"
}

sim_start() { # sim_start OPTIONS...: the aircraft on the air end of the radio
  SIM_T0=$EPOCHREALTIME
  e2e_start sim "$E2E_BIN/uav-sim" --port "$AIR" "$@"
}

relay_start() { # relay_start NAME: the relay on the ground end, its virtual port for the GCS
  RELAY_T0=$EPOCHREALTIME
  e2e_start "$1" --stamp "$E2E_BIN/uav-link-relay" --output "$GROUND" --debug --stats 5
  e2e_wait_for "$WORK/$1.out" "^[0-9.]+ Ground-control port: $GCS_PORT\$" 10 "$1" ||
    e2e_fail "$1 did not offer $GCS_PORT as the ground-control port"
}

standin_start() { # standin_start NAME OPTIONS...
  local name=$1
  shift
  e2e_start "$name" node "$E2E_STANDIN" --port "$GCS_PORT" \
    --sent-log "$WORK/$name-sent.hex" --received-log "$WORK/$name-rx.hex" "$@"
}

standin_wait() { # standin_wait NAME: it must pass its own checks
  e2e_wait "$1"
  [ "$E2E_STATUS" = 0 ] || e2e_fail "$1 failed: $(grep FAILED "$WORK/$1.err" | head -n3)"
}

# Each TEXT on a line after the first line of the one before; EXACT=1: whole lines, each once.
in_order() { # in_order LINES EXACT TEXT...
  local lines=$1 exact=$2 prev=0 text n opts=(-nF)
  shift 2
  [ "$exact" = 1 ] && opts+=(-x)
  for text; do
    n=$(grep "${opts[@]}" -- "$text" <<<"$lines" | cut -d: -f1)
    [ -n "$n" ] && { [ "$exact" = 0 ] || [ "$(wc -l <<<"$n")" = 1 ]; } && [ "${n%%$'\n'*}" -gt "$prev" ] ||
      return 1
    prev=${n%%$'\n'*}
  done
}

# The three status texts, each once and in order, then "Net ID: N". Sets NET_ID.
check_link_texts() {
  local lines
  lines=$(e2e_lines "$1")
  NET_ID=$(sed -n 's/^Net ID: \([0-9]\+\)$/\1/p' <<<"$lines" | head -n1)
  in_order "$lines" 1 "$KEY_LOADING" "$AUTHENTICATING" "$SUCCEEDED" "Net ID: $NET_ID" ||
    e2e_fail "$(basename "$1"): not each status text once, in order, then \"Net ID: N\":"$'\n'"$lines"
}

wait_link_up() { # wait_link_up RELAY-NAME SECONDS
  e2e_wait_for "$WORK/$1.out" '^[0-9.]+ Net ID: [0-9]+$' "$2" "$1" ||
    e2e_fail "$1: no network id within $2 s"
}

# The aircraft derived the id it was given, in this session: the modem line of the sim names
# the id and says whether it matches the one the aircraft derived itself.
check_modem_line() { # check_modem_line NET_ID NTH
  local line
  line=$(grep -E 'modem: ATS3=' "$WORK/sim.err" | sed -n "${2}p")
  [ -n "$line" ] || e2e_fail "uav-sim saw no ATS3= command (session $2)"
  [[ $line == *"ATS3=$1 (matches the derived id)"* ]] ||
    e2e_fail "session $2: relay published Net ID $1, the aircraft saw: $line"
}

stop_relay() { # stop_relay NAME [SIGNAL]: exit 0, the virtual port's link removed
  local sig=${2:-TERM}
  e2e_stop "$1" "$sig"
  [ "$E2E_STATUS" = 0 ] || e2e_fail "$1 exited with $E2E_STATUS on SIG$sig"
  [ ! -e "$GCS_PORT" ] && [ ! -L "$GCS_PORT" ] || e2e_fail "$GCS_PORT is left after $1 exited"
}

# The relay's last statistics line (JSON, as s) at exit meets CONDITION, a JavaScript expression.
check_stats() { # check_stats RELAY-NAME CONDITION
  local last
  last=$(e2e_lines "$WORK/$1.out" | grep '^{' | tail -n1)
  node -e "const s = JSON.parse(process.argv[1]);
    process.exit(s.state === 'Stopped' && s.handshakes === 1 && ($2) ? 0 : 1);" "$last" ||
    e2e_fail "$1: statistics at exit, not $2: $last"
}

stop_sim() {
  e2e_stop sim INT
  [ "$E2E_STATUS" = 0 ] || e2e_fail "uav-sim exited with $E2E_STATUS"
}

# ---- scenarios ---------------------------------------------------------------------------------

# Start, relay both ways byte for byte, stop, start again: a second handshake, same checks.
scenario_link() {
  e2e_pcsc_start
  e2e_pty_pair "$GROUND" "$AIR"
  sim_start --echo --rehello-ms 2000 --log-rx "$WORK/sim-rx.hex" --log-tx "$WORK/sim-tx.hex"

  local session net_ids=()
  for session in 1 2; do
    relay_start "relay$session"
    standin_start "gcs$session" --frames 48 --first-heartbeat-s 40 --expect-echo
    wait_link_up "relay$session" 40
    standin_wait "gcs$session"
    check_link_texts "$WORK/relay$session.out"
    net_ids+=("$NET_ID")
    check_modem_line "$NET_ID" "$session"
    # Wall-clock breakdown of the start, from the relay's stamped lines and the sim's progress.
    e2e_timeline "$WORK/relay$session.out" "$WORK/sim.err" "$SIM_T0" "$RELAY_T0"
    echo "session $session: $(grep -E '^(sent|echoed|aircraft_frames|rtt_p50_ms|rtt_p99_ms)=' "$WORK/gcs$session.out" | paste -sd' ')"
    # The first run ends with SIGTERM, the second with SIGINT (Ctrl-C).
    stop_relay "relay$session" "$([ "$session" = 1 ] && echo TERM || echo INT)"
    check_stats "relay$session" 's.records_sent >= 48 && s.records_accepted >= 48 && s.refused_replay + s.refused_mac + s.refused_limit + s.refused_reflected === 0'
    e2e_alive socat || e2e_fail "socat did not survive the relay closing its end"
    e2e_alive sim || e2e_fail "uav-sim did not survive the relay closing its end"
  done
  stop_sim

  local kv
  for kv in handshakes=2 net_id_match=1 "net_id_written=${net_ids[1]}" at_sequence=ok at_unknown=0 \
    records_rejected=0 mavlink_unparsed=0 hangup=0; do
    expect_value "$WORK/sim.out" "${kv%%=*}" "${kv#*=}"
  done
  # Toward the aircraft: every frame the GCS sent, and nothing else, byte for byte.
  cat "$WORK/gcs1-sent.hex" "$WORK/gcs2-sent.hex" >"$WORK/gcs-sent.hex"
  node "$E2E_LOGCHECK" equal "$WORK/gcs-sent.hex" "$WORK/sim-rx.hex" ||
    e2e_fail "frames toward the aircraft differ"
  # Toward the GCS: an unbroken run of what the aircraft sent, per session.
  for session in 1 2; do
    node "$E2E_LOGCHECK" within "$WORK/gcs$session-rx.hex" "$WORK/sim-tx.hex" ||
      e2e_fail "session $session: frames toward the GCS differ"
  done
  grep -E 'Error|error' "$WORK/relay1.err" "$WORK/relay2.err" && e2e_fail "the relay logged errors"
  return 0
}

# The virtual port: open, traffic, close and reopen, nothing stale, a second descriptor, and
# the hangup when the relay exits.
scenario_vport() {
  e2e_pcsc_start
  e2e_pty_pair "$GROUND" "$AIR"
  sim_start --echo --heartbeat-ms 100
  relay_start relay
  [ -L "$GCS_PORT" ] && [[ $(readlink "$GCS_PORT") == /dev/pts/* ]] ||
    e2e_fail "$GCS_PORT is not a link to a pseudo-terminal"
  wait_link_up relay 40
  # Relaying, and nobody has the port open: what the aircraft sends now must be dropped.
  sleep 1.5
  standin_start gcs --frames 40 --reopen-after 20 --closed-ms 1500 --min-skipped 5 \
    --second-descriptor --expect-echo --await-hangup-s 15
  e2e_wait_for "$WORK/gcs.out" '^awaiting hangup$' 60 gcs || e2e_fail "the stand-in did not get to the end"
  stop_relay relay
  standin_wait gcs
  local first
  first=$(e2e_value "$WORK/gcs.out" heartbeat_seqs | cut -d, -f1)
  [ -n "$first" ] && [ "$first" -ge 5 ] ||
    e2e_fail "the first HEARTBEAT read has sequence ${first:-none}: earlier ones, sent before the port was opened, were delivered stale"
  expect_value "$WORK/gcs.out" hangup 1
  expect_value "$WORK/gcs.out" reopened 1
  echo "virtual port: $(grep -E '^(sent|echoed|skipped_after_reopen|rtt_p50_ms|rtt_p99_ms|hangup)=' "$WORK/gcs.out" | paste -sd' ')"
  stop_sim
}

# No card in the reader: key loading is retried once a second; a card put in is then found.
scenario_no_card() {
  e2e_pcsc_start_daemon_only
  e2e_pty_pair "$GROUND" "$AIR"
  # The debug log goes into the stamped output too, so that the attempts can be timed.
  RELAY_T0=$EPOCHREALTIME
  e2e_start relay --stamp bash -c 'exec "$0" "$@" 2>&1' "$E2E_BIN/uav-link-relay" --output "$GROUND" --debug
  local fail_line="Can't connect to smart card"
  e2e_wait_for "$WORK/relay.out" "$fail_line" 10 relay || e2e_fail "no failed card attempt in the debug log"
  sleep 3.2
  local stamps attempts
  stamps=$(grep -F "$fail_line" "$WORK/relay.out" | cut -d' ' -f1)
  attempts=$(wc -l <<<"$stamps")
  echo "card attempts within 3.2 s of the first: $attempts, at (s after the first):" \
    "$(awk 'NR == 1 { t0 = $1 } { printf "%.3f ", $1 - t0 }' <<<"$stamps")"
  [ "$attempts" = 4 ] || e2e_fail "$attempts attempts within 3.2 s of the first; once a second gives 4"
  awk 'NR > 1 { d = $1 - prev; if (d < 0.95 || d > 1.5) { printf "an attempt %.3f s after the one before\n", d; bad = 1 } }
       { prev = $1 } END { exit bad }' <<<"$stamps" || e2e_fail "the attempts are not a second apart"
  e2e_lines "$WORK/relay.out" | grep -qxF -- "$AUTHENTICATING" && e2e_fail "authentication started without a card"
  e2e_lines "$WORK/relay.out" | grep -qxF -- "$KEY_LOADING" || e2e_fail "\"$KEY_LOADING\" not shown"
  "$E2E_PCSC_ENV" --dir "$WORK/pcsc" start-card >>"$WORK/pcsc-env.out" 2>>"$WORK/pcsc-env.err" 8>&- ||
    e2e_fail "the card did not start: $(tail -n1 "$WORK/pcsc-env.err")"
  e2e_wait_for "$WORK/relay.out" "$AUTHENTICATING" 3 relay ||
    e2e_fail "keys not loaded within 3 s of the card going in"
  [ "$(e2e_lines "$WORK/relay.out" | grep -cxF -- "$KEY_LOADING")" = 1 ] ||
    e2e_fail "\"$KEY_LOADING\" shown more than once"
  stop_relay relay
}

# A replayed record (a HEARTBEAT's record sent again verbatim) is forwarded once, a record with
# one ciphertext bit flipped not at all; the link goes on.
scenario_replay_tamper() {
  e2e_pcsc_start
  e2e_pty_pair "$GROUND" "$AIR"
  sim_start --echo --replay --tamper --heartbeat-ms 200 --log-tx "$WORK/sim-tx.hex"
  relay_start relay
  standin_start gcs --frames 16 --first-heartbeat-s 40 --min-run-s 3 --expect-echo
  standin_wait gcs
  stop_relay relay
  check_stats relay 's.refused_replay === 1 && s.refused_mac === 1'
  stop_sim
  expect_value "$WORK/sim.out" replays_sent 1
  expect_value "$WORK/sim.out" tampered_sent 1
  local replayed tampered seqs
  replayed=$(e2e_value "$WORK/sim.out" replayed_mavlink_seq)
  tampered=$(e2e_value "$WORK/sim.out" tampered_mavlink_seq)
  seqs=$(e2e_value "$WORK/gcs.out" heartbeat_seqs | tr , '\n')
  [ "$(grep -cx "$replayed" <<<"$seqs")" = 1 ] || e2e_fail "the replayed HEARTBEAT (sequence $replayed) did not reach the GCS exactly once"
  grep -qx "$tampered" <<<"$seqs" && e2e_fail "the tampered HEARTBEAT (sequence $tampered) reached the GCS"
  grep -qx "$((tampered + 1))" <<<"$seqs" || e2e_fail "the HEARTBEAT after the tampered one did not arrive"
  node "$E2E_LOGCHECK" within "$WORK/gcs-rx.hex" "$WORK/sim-tx.hex" || e2e_fail "frames toward the GCS differ"
}

# The demo's link part, as a user runs it; its output must show the link working.
scenario_demo() {
  # The demo takes the machine's smart-card lock itself.
  E2E_VERBOSE_FAILURE=0
  local out="$WORK/demo.out"
  "$E2E_ROOT/scripts/demo" --no-build --build-dir "$(dirname "$E2E_BIN")" --work "$WORK/demo" \
    >"$out" 2>&1 8>&-
  local status=$?
  cat "$out"
  [ "$status" = 0 ] || e2e_fail "scripts/demo exited with $status"
  in_order "$(cat "$out")" 0 "$KEY_LOADING" "$AUTHENTICATING" "$SUCCEEDED" ||
    e2e_fail "the demo did not show the three status texts in order"
  grep -qE 'network identifier: [0-9]+' "$out" || e2e_fail "the demo showed no network identifier"
  local up down
  up=$(sed -n 's/.*ground control -> aircraft: \([0-9]\+\) .*/\1/p' "$out" | tail -n1)
  down=$(sed -n 's/.*aircraft -> ground control: \([0-9]\+\) .*/\1/p' "$out" | tail -n1)
  [ -n "$up" ] && [ "$up" -gt 0 ] || e2e_fail "no messages relayed from the ground-control side"
  [ -n "$down" ] && [ "$down" -gt 0 ] || e2e_fail "no messages relayed from the aircraft"
  grep -qE 'latency.*p50 [0-9.]+ ms.*p99 [0-9.]+ ms' "$out" || e2e_fail "the demo showed no latency"
}

# Relay and aircraft through link-fault: about one byte fault in 10^4 each way and a 5 s
# outage every 15 s, MAVLink both ways. Nothing damaged or foreign may reach either end, traffic
# must flow again after every outage without a new handshake, and the relay's memory must stay
# flat.
scenario_soak() {
  local seconds=${SOAK_SECONDS:-60} every outages k
  every=$((seconds >= 180 ? seconds / 12 : 15))
  outages=$((seconds / every - 1))
  [ -x "$E2E_BIN/link-fault" ] || e2e_fail "$E2E_BIN/link-fault is not built"
  e2e_pcsc_start
  rm -f "$GROUND" "$AIR"
  e2e_start radio "$E2E_BIN/link-fault" --ground "$GROUND" --air "$AIR" --on-signal \
    --seed "${SOAK_SEED:-1}" --loss 2.5e-5 --flip 2.5e-5 --dup 2.5e-5 --noise 2.5e-5 \
    --outage 5 --outage-every "$every" --outages "$outages"
  e2e_wait_for "$WORK/radio.err" 'ground end' 5 radio || e2e_fail "link-fault did not start"
  # No hello again during an outage: the link must come back under the keys it has.
  sim_start --echo --rehello-ms 0 --heartbeat-ms 100 --log-rx "$WORK/sim-rx.hex" --log-tx "$WORK/sim-tx.hex"
  relay_start relay
  # 20 messages a second up and 30 down fit the 57600 baud radio with room to spare.
  standin_start gcs --frames $((seconds * 20)) --interval-ms 50 --first-heartbeat-s 40 --drain-ms 3000
  wait_link_up relay 40
  kill -USR1 "$(e2e_pid radio)"
  # The keys are in: the card and the machine's smart-card lock go back to other runs.
  E2E_PCSC_STARTED=0
  "$E2E_PCSC_ENV" --dir "$WORK/pcsc" stop >>"$WORK/pcsc-env.out" 2>>"$WORK/pcsc-env.err" 8>&-
  exec 8>&-
  local relay_pid rss0 rss1 lines=()
  relay_pid=$(e2e_pid relay)
  # The relay's resident memory every 5 s, seconds since the faults began.
  e2e_start rss bash -c 'while sleep 5; do
      echo "$SECONDS $(awk "/^VmRSS/ { print \$2 }" /proc/$0/status)" || exit 0; done' "$relay_pid"
  count() { if [ -e "$1" ]; then wc -l <"$1"; else echo 0; fi; }
  # Lines logged by the aircraft when each outage began and ended: the spans between an end and
  # the next beginning must carry traffic both ways.
  for ((k = 1; k <= outages; k++)); do
    for edge in began ended; do
      e2e_wait_for "$WORK/radio.err" "outage $k $edge" $((every + 10)) radio || e2e_fail "outage $k never $edge"
      lines+=("$(count "$WORK/sim-rx.hex"):$(count "$WORK/sim-tx.hex")")
    done
  done
  standin_wait gcs
  e2e_stop rss
  # Memory once traffic has run for a third of the time, so that warming up does not count.
  rss0=$(awk -v t=$((seconds / 3)) '$1 >= t { print $2; exit }' "$WORK/rss.out")
  rss1=$(tail -n1 "$WORK/rss.out" | cut -d' ' -f2)
  lines+=("$(count "$WORK/sim-rx.hex"):$(count "$WORK/sim-tx.hex")")
  stop_relay relay
  stop_sim
  e2e_stop radio INT
  local spans=() i rx_end tx_end rx_next tx_next
  for ((i = 1; i < ${#lines[@]}; i += 2)); do
    IFS=: read -r rx_end tx_end <<<"${lines[i]}"
    IFS=: read -r rx_next tx_next <<<"${lines[i + 1]}"
    [ "$rx_next" -gt "$rx_end" ] || e2e_fail "nothing reached the aircraft after outage $(((i + 1) / 2))"
    spans+=("$tx_end:$tx_next")
  done
  expect_value "$WORK/sim.out" handshakes 1
  check_link_texts "$WORK/relay.out"
  local up down
  up=$(node "$E2E_LOGCHECK" subset "$WORK/sim-rx.hex" "$WORK/gcs-sent.hex") ||
    e2e_fail "toward the aircraft: $up"
  down=$(node "$E2E_LOGCHECK" subset "$WORK/gcs-rx.hex" "$WORK/sim-tx.hex" "${spans[@]}") ||
    e2e_fail "toward the ground-control program: $down"
  echo "soak: ${seconds} s of traffic, $outages outages of 5 s, resumed after each, one handshake"
  echo "delivered toward the aircraft ${up#delivered=}, toward the ground-control program ${down#delivered=}"
  echo "relay RSS ${rss0} kB after a third of the run, ${rss1} kB at the end (every 5 s: rss.out)"
  grep -E '_(lost|flipped|duplicated|inserted|outage_dropped|overflow)=' "$WORK/radio.out" | paste -sd' '
  # Qt's heap settles in the first minutes; a leak per record would be megabytes by the end.
  [ $((rss1 - rss0)) -le $((2048 + rss0 / 10)) ] || e2e_fail "the relay grew from $rss0 kB to $rss1 kB"
}

case "$SCENARIO" in
  link) scenario_link ;;
  vport) scenario_vport ;;
  no-card) scenario_no_card ;;
  replay-tamper) scenario_replay_tamper ;;
  demo) scenario_demo ;;
  soak) scenario_soak ;;
  *) e2e_fail "unknown scenario '$SCENARIO'" ;;
esac
echo "PASS: $SCENARIO ($(e2e_now) s)"
