#!/usr/bin/env node
// A ground-control program on the relay's ground-control port, built on an independent MAVLink
// implementation (node-mavlink 2.3.0). It waits for the aircraft's first HEARTBEAT, sends a mix
// of MAVLink frames (v2 trimmed and untrimmed, v1, up to the largest payload, whole frames,
// several frames in one write and frames split over two writes) to an aircraft that echoes
// them, and checks that each comes back byte for byte as a trimming sender writes it. It times
// every round trip, checks the checksum of everything received against the relay's message
// table, and can close and reopen the port mid-run or wait for the port to hang up.
//
// usage: node gcs-standin.js --port PATH [options]   (--help lists them)
// Prints key=value lines at the end; exits 1 when one of its checks failed, 2 on bad usage.
'use strict';

const fs = require('fs');
const path = require('path');
const tty = require('tty');

const USAGE = `usage: gcs-standin.js --port PATH [options]
  --table CSV           id,crc_extra table to check received checksums against
                        (default tests/data/message-table.csv)
  --frames N            frames to send once the aircraft is heard (40; 0: send nothing)
  --interval-ms MS      pause between sends (20)
  --wait-port-s S       wait up to S seconds for PATH to appear (0: it must exist)
  --first-heartbeat-s S give up when no aircraft HEARTBEAT arrives within S seconds (30)
  --listen-s S          only listen for S seconds, send nothing, wait for nothing
  --min-run-s S         keep receiving until S seconds after the first HEARTBEAT (0)
  --drain-ms MS         wait this long at most for the last echoes (2000)
  --reopen-after N      after N frames: close the port, wait --closed-ms, open it again
  --closed-ms MS        how long the port stays closed (1500)
  --second-descriptor   at the end, open the port twice more, back to back, close the first of
                        the two at once (node's own tty streams open a terminal this way) and
                        the other a moment later, then send --frames more: they must still
                        come back through the first descriptor
  --await-hangup-s S    at the end, print "awaiting hangup" and wait S seconds for the port
                        to hang up (the relay exiting)
  --expect-echo         every frame sent must come back exactly once, byte for byte
  --expect-silence      nothing at all may arrive
  --min-skipped N       after the reopen, at least N aircraft HEARTBEATs must have been
                        skipped (they were sent while the port was closed)
  --sent-log FILE       each frame sent, as the aircraft should receive it: one hex line
  --received-log FILE   each frame received: one hex line
  --progress            human-readable progress lines on stderr
  --seed N              seed of the field values (1)`;

function loadMavlink() {
  try {
    return require('node-mavlink');
  } catch (first) {
    try {
      return require(path.join(__dirname, '..', '..', 'tests', 'node', 'node_modules', 'node-mavlink'));
    } catch (e) {
      console.error('gcs-standin: node-mavlink is not installed (scripts/setup runs "npm ci" in ' +
                    'tests/node): ' + first.message);
      process.exit(2);
    }
  }
}

// ---- options ----------------------------------------------------------------------------------
const opts = {
  port: null, table: path.join(__dirname, '..', '..', 'messaging', 'mavlink', 'message-table.csv'),
  frames: 40, intervalMs: 20, waitPortS: 0, firstHeartbeatS: 30, listenS: 0, minRunS: 0, drainMs: 2000,
  reopenAfter: -1, closedMs: 1500, secondDescriptor: false, awaitHangupS: 0, expectEcho: false, expectSilence: false,
  minSkipped: -1, sentLog: null, receivedLog: null, progress: false, seed: 1,
};
{
  const args = process.argv.slice(2);
  const numbers = {
    '--frames': 'frames', '--interval-ms': 'intervalMs', '--wait-port-s': 'waitPortS', '--first-heartbeat-s': 'firstHeartbeatS',
    '--listen-s': 'listenS', '--min-run-s': 'minRunS', '--drain-ms': 'drainMs',
    '--reopen-after': 'reopenAfter', '--closed-ms': 'closedMs', '--await-hangup-s': 'awaitHangupS',
    '--min-skipped': 'minSkipped', '--seed': 'seed',
  };
  const strings = { '--port': 'port', '--table': 'table', '--sent-log': 'sentLog',
                    '--received-log': 'receivedLog' };
  const flags = { '--second-descriptor': 'secondDescriptor', '--expect-echo': 'expectEcho', '--expect-silence': 'expectSilence',
                  '--progress': 'progress' };
  for (let i = 0; i < args.length; ++i) {
    const a = args[i];
    if (a === '--help' || a === '-h') { console.log(USAGE); process.exit(0); }
    if (flags[a]) { opts[flags[a]] = true; continue; }
    if (!(a in numbers) && !(a in strings)) { console.error(`gcs-standin: unknown option ${a}\n${USAGE}`); process.exit(2); }
    if (i + 1 >= args.length) { console.error(`gcs-standin: ${a} needs a value`); process.exit(2); }
    const v = args[++i];
    if (a in strings) { opts[strings[a]] = v; continue; }
    const n = Number(v);
    if (!Number.isFinite(n) || n < 0) { console.error(`gcs-standin: ${a} needs a number`); process.exit(2); }
    opts[numbers[a]] = n;
  }
  if (!opts.port) { console.error(`gcs-standin: --port is required\n${USAGE}`); process.exit(2); }
}

const mavlink = loadMavlink();
const { minimal, common, x25crc, MavLinkProtocolV1, MavLinkProtocolV2, MavLinkPacketSplitter } = mavlink;

const magicNumbers = Object.fromEntries(
  fs.readFileSync(opts.table, 'utf8').trim().split('\n').slice(1)
    .map(line => line.split(',').map(Number)).map(([id, crc]) => [id, crc]));

const progress = (text) => {
  if (opts.progress) process.stderr.write(`gcs: ${text}\n`);
};
const nowNs = () => process.hrtime.bigint();
const T0 = nowNs();
const sinceStart = () => Number(nowNs() - T0) / 1e9;
const sleep = (ms) => new Promise(resolve => setTimeout(resolve, ms));

// ---- frames to send ---------------------------------------------------------------------------
const GCS_SYSTEM = 255;
const GCS_COMPONENT = 190;
const v2 = new MavLinkProtocolV2(GCS_SYSTEM, GCS_COMPONENT);
const v1 = new MavLinkProtocolV1(GCS_SYSTEM, GCS_COMPONENT);

let seed = (opts.seed >>> 0) || 1;
function rand() {  // mulberry32: the same traffic for the same seed
  seed = (seed + 0x6D2B79F5) >>> 0;
  let t = seed;
  t = Math.imul(t ^ (t >>> 15), t | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
}
const randByte = () => Math.floor(rand() * 256);

// The same frame as a sender that does not trim writes it: full payload, checksum over it.
function untrimmed(frame, clazz) {
  const len = frame.readUInt8(1);
  const full = Buffer.alloc(10 + clazz.PAYLOAD_LENGTH + 2);
  frame.copy(full, 0, 0, 10 + len);
  full.writeUInt8(clazz.PAYLOAD_LENGTH, 1);
  full.writeUInt16LE(x25crc(full, 1, 2, clazz.MAGIC_NUMBER), full.length - 2);
  return full;
}

// Every payload has a non-zero byte: node-mavlink would send an all-zero payload with LEN 0,
// where MAVLink senders keep one byte (a quirk of the library, not what is under test).
function makeFrame(i, seq) {
  const kind = i % 8;
  let message;
  switch (kind) {
    case 0: case 6:
      message = new minimal.Heartbeat();
      Object.assign(message, { type: 6, autopilot: 8, baseMode: 192, systemStatus: 4, customMode: i });
      break;
    case 1: case 4:
      message = new common.CommandLong();
      Object.assign(message, { targetSystem: 1, targetComponent: 1, command: 400, confirmation: 0,
                               _param1: 1, _param2: i % 3 === 0 ? 0 : i, _param3: 0, _param4: 0,
                               _param5: 0, _param6: 0, _param7: 0 });
      break;
    case 2:
      message = new common.ParamRequestList();
      Object.assign(message, { targetSystem: 1, targetComponent: 0 });
      break;
    case 3:
      message = new common.ParamRequestRead();
      Object.assign(message, { targetSystem: 1, targetComponent: 1, paramId: 'SYSID_THISMAV', paramIndex: -1 });
      break;
    case 5:
      message = new common.ParamSet();
      Object.assign(message, { targetSystem: 1, targetComponent: 1, paramId: 'RTL_ALT',
                               paramValue: 1500 + i, paramType: 9 });
      break;
    case 7: {
      message = new common.FileTransferProtocol();
      const payload = Array.from({ length: 251 }, randByte);
      payload[250] = payload[250] || 1;  // the largest frame: nothing to trim
      Object.assign(message, { targetNetwork: 0, targetSystem: 1, targetComponent: 1, payload });
      break;
    }
  }
  if (kind === 6) {
    // HEARTBEAT has no extensions, so node-mavlink's v1 frames are well-formed for it.
    const frame = v1.serialize(message, seq);
    return { wire: frame, expect: frame, name: 'HEARTBEAT v1' };
  }
  const frame = v2.serialize(message, seq);
  if (kind === 4) {
    // Sent untrimmed; the relay and the aircraft trim it as every MAVLink v2 sender does.
    return { wire: untrimmed(frame, message.constructor), expect: frame, name: 'COMMAND_LONG untrimmed' };
  }
  return { wire: frame, expect: frame, name: message.constructor.MSG_NAME };
}

// ---- the port ---------------------------------------------------------------------------------
const stats = {
  sent: 0, echoed: 0, echoMissing: 0, echoUnexpected: 0, echoAltered: 0, stale: 0,
  received: 0, aircraftFrames: 0, aircraftHeartbeats: 0, crcErrors: 0, unknownIds: 0,
  junkBytes: 0, bytesRx: 0, reopened: 0, skippedAfterReopen: -1, hangup: 0,
  firstHeartbeatS: -1,
};
const heartbeatSeqs = [];
const latenciesMs = [];
const sentLog = [];
const receivedLog = [];
// Sent frames whose echo is due: hex of the expected frame -> [{ t, session }]
const outstanding = new Map();
let session = 0;
let lastHeartbeatSeqBeforeClose = -1;
let firstHeartbeatAfterReopen = true;
let port = null;
let waiters = [];

function notify() {
  const w = waiters;
  waiters = [];
  w.forEach(resolve => resolve());
}

// Resolves when cond() holds or after ms; returns cond().
async function waitUntil(cond, ms) {
  const deadline = Date.now() + ms;
  while (!cond() && Date.now() < deadline) {
    await Promise.race([new Promise(resolve => waiters.push(resolve)),
                        sleep(Math.min(50, Math.max(1, deadline - Date.now())))]);
  }
  return cond();
}

function onFrame(buffer, t) {
  stats.received++;
  const hex = buffer.toString('hex');
  receivedLog.push(hex);
  const isV2 = buffer[0] === 0xFD;
  const system = buffer[isV2 ? 5 : 3];
  const seq = buffer[isV2 ? 4 : 2];
  const msgid = isV2 ? buffer.readUIntLE(7, 3) : buffer[5];

  if (system === GCS_SYSTEM) {
    const queue = outstanding.get(hex);
    if (!queue || queue.length === 0) {
      stats.echoUnexpected++;
      return;
    }
    const entry = queue.shift();
    if (queue.length === 0) outstanding.delete(hex);
    if (entry.session !== session) {
      // Its echo was due while the port was closed: it must never be delivered later.
      stats.stale++;
      return;
    }
    stats.echoed++;
    latenciesMs.push(Number(t - entry.t) / 1e6);
    return;
  }
  stats.aircraftFrames++;
  if (msgid !== 0) return;
  stats.aircraftHeartbeats++;
  heartbeatSeqs.push(seq);
  if (stats.firstHeartbeatS < 0) {
    stats.firstHeartbeatS = sinceStart();
    progress(`first HEARTBEAT from the aircraft (system ${system}) after ${stats.firstHeartbeatS.toFixed(2)} s`);
  }
  if (session > 0 && firstHeartbeatAfterReopen) {
    firstHeartbeatAfterReopen = false;
    if (lastHeartbeatSeqBeforeClose >= 0)
      stats.skippedAfterReopen = (seq - lastHeartbeatSeqBeforeClose - 1 + 256) % 256;
  }
}

// One open() and one descriptor, as a serial-port library opens a port. (node's tty streams
// would open the terminal a second time behind our back.) The descriptor is non-blocking and
// polled: every millisecond while idle, back to back while an echo is due, so that a round
// trip is timed to within a few microseconds of when its bytes became readable.
function openPort() {
  const fd = fs.openSync(opts.port, fs.constants.O_RDWR | fs.constants.O_NOCTTY | fs.constants.O_NONBLOCK);
  if (!tty.isatty(fd)) throw new Error(`${opts.port} is not a terminal`);
  const splitter = new MavLinkPacketSplitter({}, { magicNumbers });
  const state = { fd, splitter, closed: false, ended: false, bytes: 0, framed: 0, readAt: 0n };
  splitter.on('data', ({ buffer }) => { state.framed += buffer.length; onFrame(buffer, state.readAt); notify(); });
  const chunk = Buffer.alloc(65536);
  const pump = () => {
    if (state.closed || state.ended) return;
    for (;;) {
      let n;
      try {
        n = fs.readSync(fd, chunk, 0, chunk.length, null);
      } catch (e) {
        if (e.code === 'EAGAIN') break;
        // EIO: the relay closed its end of the pseudo-terminal.
        n = 0;
      }
      if (n === 0) {
        state.ended = true;
        notify();
        return;
      }
      state.readAt = nowNs();
      state.bytes += n;
      stats.bytesRx += n;
      splitter.write(Buffer.from(chunk.subarray(0, n)));
    }
    if (pending() > 0) setImmediate(pump);
    else setTimeout(pump, 1);
  };
  setImmediate(pump);
  return state;
}

function closePort(state) {
  if (state.closed) return;
  state.closed = true;
  // Bytes that never completed a frame, or were skipped before one, are junk.
  stats.junkBytes += state.bytes - state.framed;
  stats.crcErrors += state.splitter.invalidPackages;
  stats.unknownIds += state.splitter.unknownPackagesCount;
  fs.closeSync(state.fd);
}

function writeAll(fd, buffer) {
  let off = 0;
  while (off < buffer.length) {
    try {
      off += fs.writeSync(fd, buffer, off, buffer.length - off);
    } catch (e) {
      if (e.code !== 'EAGAIN') throw e;
      const until = Date.now() + 1;
      while (Date.now() < until) { /* the pseudo-terminal is full for a moment */ }
    }
  }
}

function expectEcho(frame, t) {
  const hex = frame.expect.toString('hex');
  if (!outstanding.has(hex)) outstanding.set(hex, []);
  outstanding.get(hex).push({ t, session });
  sentLog.push(hex);
  stats.sent++;
}

// ---- the run ----------------------------------------------------------------------------------
async function sendFrames(from, to) {
  let seq = from & 0xFF;
  for (let i = from; i < to; ++i) {
    const frame = makeFrame(i, seq);
    seq = (seq + 1) & 0xFF;
    if (i % 9 === 4 && i + 1 < to) {
      // Two frames in one write.
      const second = makeFrame(i + 1, seq);
      seq = (seq + 1) & 0xFF;
      writeAll(port.fd, Buffer.concat([frame.wire, second.wire]));
      const t = nowNs();
      expectEcho(frame, t);
      expectEcho(second, t);
      ++i;
    } else if (i % 7 === 3) {
      // One frame in two writes a moment apart.
      writeAll(port.fd, frame.wire.subarray(0, 5));
      await sleep(2);
      writeAll(port.fd, frame.wire.subarray(5));
      expectEcho(frame, nowNs());
    } else {
      writeAll(port.fd, frame.wire);
      expectEcho(frame, nowNs());
    }
    if (opts.intervalMs > 0) await sleep(opts.intervalMs);
  }
}

const pending = () => [...outstanding.values()].reduce((n, q) => n + q.filter(e => e.session === session).length, 0);

function percentile(sorted, p) {
  if (sorted.length === 0) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil(p * sorted.length) - 1))];
}

async function main() {
  const failures = [];
  const portDeadline = Date.now() + opts.waitPortS * 1000;
  while (!fs.existsSync(opts.port) && Date.now() < portDeadline) await sleep(100);
  port = openPort();
  progress(`opened ${opts.port}`);

  if (opts.listenS > 0) {
    await waitUntil(() => port.ended, opts.listenS * 1000);
  } else {
    const heard = await waitUntil(() => stats.aircraftHeartbeats > 0 || port.ended, opts.firstHeartbeatS * 1000);
    if (!heard || stats.aircraftHeartbeats === 0) {
      failures.push(`no HEARTBEAT from the aircraft within ${opts.firstHeartbeatS} s`);
    } else {
      const firstHeartbeatAt = Date.now();
      const total = opts.frames;
      const reopenAt = opts.reopenAfter >= 0 && opts.reopenAfter < total ? opts.reopenAfter : total;
      await sendFrames(0, reopenAt);
      if (reopenAt < total) {
        await waitUntil(() => pending() === 0, opts.drainMs);
        // A last frame right before the close: its echo arrives while nobody has the port open.
        const last = makeFrame(reopenAt, reopenAt & 0xFF);
        writeAll(port.fd, last.wire);
        expectEcho(last, nowNs());
        lastHeartbeatSeqBeforeClose = heartbeatSeqs.length ? heartbeatSeqs[heartbeatSeqs.length - 1] : -1;
        closePort(port);
        progress(`closed the port for ${opts.closedMs} ms`);
        await sleep(opts.closedMs);
        session++;
        stats.reopened++;
        port = openPort();
        progress('opened it again');
        const heardAgain = await waitUntil(() => !firstHeartbeatAfterReopen || port.ended, 10000);
        if (!heardAgain || firstHeartbeatAfterReopen) failures.push('no HEARTBEAT after reopening the port');
        await sendFrames(reopenAt + 1, total + 1);
      }
      await waitUntil(() => pending() === 0, opts.drainMs);
      if (opts.secondDescriptor) {
        const echoedBefore = stats.echoed;
        const missingBefore = pending();
        const flags = fs.constants.O_RDWR | fs.constants.O_NOCTTY | fs.constants.O_NONBLOCK;
        const second = fs.openSync(opts.port, flags);
        const third = fs.openSync(opts.port, flags);
        fs.closeSync(second);
        await sleep(200);
        fs.closeSync(third);
        await sleep(200);
        progress('opened two more descriptors and closed them again');
        const base = total + 1;
        await sendFrames(base, base + Math.max(1, total));
        await waitUntil(() => pending() === missingBefore, opts.drainMs);
        if (stats.echoed === echoedBefore) {
          failures.push('nothing came back after two more descriptors on the port were opened ' +
                        'back to back and closed again');
        }
      }
      const minRunLeft = firstHeartbeatAt + opts.minRunS * 1000 - Date.now();
      if (minRunLeft > 0) await waitUntil(() => port.ended, minRunLeft);
    }
  }

  if (opts.awaitHangupS > 0) {
    process.stdout.write('awaiting hangup\n');
    const hung = await waitUntil(() => port.ended, opts.awaitHangupS * 1000);
    stats.hangup = hung ? 1 : 0;
    if (!hung) failures.push(`the port did not hang up within ${opts.awaitHangupS} s`);
  }
  closePort(port);

  stats.echoMissing = pending();
  const sorted = latenciesMs.slice().sort((a, b) => a - b);
  const summary = {
    port: opts.port, sent: stats.sent, echoed: stats.echoed, echo_missing: stats.echoMissing,
    echo_unexpected: stats.echoUnexpected, stale: stats.stale, received: stats.received,
    aircraft_frames: stats.aircraftFrames, aircraft_heartbeats: stats.aircraftHeartbeats,
    heartbeat_seqs: heartbeatSeqs.join(','), crc_errors: stats.crcErrors,
    unknown_ids: stats.unknownIds, junk_bytes: stats.junkBytes, bytes_rx: stats.bytesRx,
    reopened: stats.reopened, skipped_after_reopen: stats.skippedAfterReopen,
    hangup: stats.hangup,
    first_heartbeat_s: stats.firstHeartbeatS < 0 ? 'none' : stats.firstHeartbeatS.toFixed(3),
    rtt_p50_ms: Number.isNaN(percentile(sorted, 0.5)) ? 'none' : percentile(sorted, 0.5).toFixed(2),
    rtt_p99_ms: Number.isNaN(percentile(sorted, 0.99)) ? 'none' : percentile(sorted, 0.99).toFixed(2),
    rtt_max_ms: sorted.length ? sorted[sorted.length - 1].toFixed(2) : 'none',
  };

  if (stats.crcErrors) failures.push(`${stats.crcErrors} frames with a bad checksum`);
  if (stats.unknownIds) failures.push(`${stats.unknownIds} frames with an id not in the table`);
  if (stats.junkBytes) failures.push(`${stats.junkBytes} bytes outside any valid frame`);
  if (stats.stale) failures.push(`${stats.stale} echoes arrived after the port was reopened (stale)`);
  if (opts.expectEcho) {
    if (stats.sent === 0) failures.push('nothing was sent');
    if (stats.echoMissing) failures.push(`${stats.echoMissing} of ${stats.sent} frames did not come back`);
    if (stats.echoUnexpected) failures.push(`${stats.echoUnexpected} frames came back altered or twice`);
  }
  if (opts.expectSilence && stats.bytesRx > 0) failures.push(`${stats.bytesRx} bytes arrived, none expected`);
  if (opts.minSkipped >= 0 && stats.reopened && stats.skippedAfterReopen < opts.minSkipped) {
    failures.push(`only ${stats.skippedAfterReopen} HEARTBEATs skipped while the port was closed ` +
                  `(at least ${opts.minSkipped} expected): stale frames were delivered`);
  }

  if (opts.sentLog) fs.writeFileSync(opts.sentLog, sentLog.map(h => h + '\n').join(''));
  if (opts.receivedLog) fs.writeFileSync(opts.receivedLog, receivedLog.map(h => h + '\n').join(''));
  process.stdout.write(Object.entries(summary).map(([k, v]) => `${k}=${v}\n`).join(''));
  progress(`sent ${stats.sent}, echoed ${stats.echoed}, from the aircraft ${stats.aircraftFrames}, ` +
           `round trip p50 ${summary.rtt_p50_ms} ms p99 ${summary.rtt_p99_ms} ms`);
  if (failures.length) {
    failures.forEach(f => console.error(`gcs-standin: FAILED: ${f}`));
    process.exit(1);
  }
  process.exit(0);
}

main().catch((e) => {
  console.error(`gcs-standin: FAILED: ${e.stack || e}`);
  process.exit(1);
});
