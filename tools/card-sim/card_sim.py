#!/usr/bin/python3
"""Simulated key card for the ground station, plugged into pcscd's vpcd virtual reader.

It connects to vpcd's TCP port and answers the card commands the ground station sends:

  00 46 81 id          read public key id (1 = own key, 2 = aircraft key)  -> 61 40
  00 86 01 01 48 <64-byte peer key> <8-byte UKM>   compute the premaster  -> 61 40
  00 C0 00 00 40       GET RESPONSE                -> 64 bytes + 90 00

Keys, premaster, expected UKM and injected faults come from the command line and can be
changed while the card runs through a JSON file (--config), which is read again whenever it
changes (replace it atomically). SIGUSR1 pulls the card out of the reader, SIGUSR2 puts it
back. Every C-APDU and R-APDU is logged as a hex line (--log), before the answer is sent, so
a client that got its answer finds the lines already written.

Standard library only.
"""

import argparse
import hashlib
import json
import os
import select
import signal
import socket
import struct
import sys
import time

ATR_T0 = bytes.fromhex("3B0A434152445349 4D2D5430".replace(" ", ""))  # "CARDSIM-T0", T=0 only
ATR_T1 = bytes.fromhex("3B800181")                                   # T=1 only

DEFAULT_KEY1 = bytes(range(0x01, 0x41))
DEFAULT_KEY2 = bytes(range(0x41, 0x81))
DEFAULT_UKM = bytes.fromhex("C36A1F88E24D9735")
RESULT_LENGTH = 64

CTRL_OFF, CTRL_ON, CTRL_RESET, CTRL_ATR = 0, 1, 2, 4
OPERATIONS = ("key1", "key2", "premaster")

# vpcd serves one card per port; a second connection sits in its backlog unanswered.
SILENT_PORT_SECONDS = 3.0


class ConfigError(Exception):
    pass


def parse_hex(text, what, length=None):
    try:
        value = bytes.fromhex(str(text).replace(" ", "").replace(":", ""))
    except ValueError:
        raise ConfigError("%s: not hex: %r" % (what, text))
    if length is not None and len(value) != length:
        raise ConfigError("%s: %d bytes, expected %d" % (what, len(value), length))
    return value


def parse_fault(spec):
    """'OP:key=value,...' with OP in key1|key2|premaster|all.

    answer=HEX    the answer to the operation's command instead of 61xx (e.g. 9000, 6A82)
    length=N      GET RESPONSE returns N data bytes (more than 64 are padded with EE)
    sw=HEX        status word after the GET RESPONSE data (with length=0: only this word);
                  a single byte gives an answer without a status word
    delay=MS      answer the operation's command only after MS milliseconds
    """
    if not isinstance(spec, str) or ":" not in spec:
        raise ConfigError("fault %r: expected OP:key=value[,key=value]" % (spec,))
    op, _, rest = spec.partition(":")
    if op not in OPERATIONS + ("all",):
        raise ConfigError("fault %r: unknown operation %r" % (spec, op))
    fault = {"op": op}
    for item in filter(None, rest.split(",")):
        key, sep, value = item.partition("=")
        if not sep:
            raise ConfigError("fault %r: %r has no value" % (spec, item))
        if key == "answer":
            fault["answer"] = parse_hex(value, "fault answer")
            if not fault["answer"]:
                # vpcd treats an empty answer as a pulled card and hangs the transaction
                raise ConfigError("fault %r: empty answer" % (spec,))
        elif key == "sw":
            fault["sw"] = parse_hex(value, "fault sw")
            if len(fault["sw"]) not in (1, 2):  # one byte: an answer without a status word
                raise ConfigError("fault %r: sw must be 1 or 2 bytes" % (spec,))
        elif key in ("length", "delay"):
            try:
                fault[key] = int(value, 0)
            except ValueError:
                raise ConfigError("fault %r: %s is not a number" % (spec, key))
            if fault[key] < 0 or (key == "length" and fault[key] > 255):
                raise ConfigError("fault %r: %s out of range" % (spec, key))
        else:
            raise ConfigError("fault %r: unknown key %r" % (spec, key))
    return fault


def parse_atr(value):
    if value == "t0":
        return ATR_T0
    if value == "t1":
        return ATR_T1
    return parse_hex(value, "atr")


def build_config(source, base=None):
    """Turns option values (from argparse or the JSON file) into the card's settings."""
    config = dict(base) if base else {
        "key1": DEFAULT_KEY1, "key2": DEFAULT_KEY2, "premaster": "sha512",
        "ukm": DEFAULT_UKM, "check_peer": False, "announce": RESULT_LENGTH,
        "atr": ATR_T0, "faults": [],
    }
    for name in ("key1", "key2"):
        if source.get(name) is not None:
            config[name] = parse_hex(source[name], name, RESULT_LENGTH)
    if source.get("premaster") is not None:
        value = source["premaster"]
        config["premaster"] = "sha512" if value == "sha512" else \
            parse_hex(value, "premaster", RESULT_LENGTH)
    if source.get("ukm") is not None:
        config["ukm"] = parse_hex(source["ukm"], "ukm", 8)
    if source.get("check_peer") is not None:
        config["check_peer"] = bool(source["check_peer"])
    if source.get("announce") is not None:
        value = source["announce"]
        config["announce"] = int(value, 16) if isinstance(value, str) else int(value)
        if not 0 <= config["announce"] <= 255:
            raise ConfigError("announce out of range")
    if source.get("atr") is not None:
        config["atr"] = parse_atr(source["atr"])
    if source.get("faults") is not None:
        faults = source["faults"]
        if not isinstance(faults, list):
            raise ConfigError("faults: expected a list")
        config["faults"] = [parse_fault(f) for f in faults]
    return config


class Card:
    """The applet: command in, answer out. Knows nothing about sockets."""

    def __init__(self, config):
        self.config = config
        self.pending = None  # (operation, remaining data)

    def reset(self):
        self.pending = None

    def fault_for(self, op):
        merged = {}
        for fault in self.config["faults"]:
            if fault["op"] in (op, "all"):
                merged.update(fault)
        return merged

    def premaster(self, peer, ukm):
        if self.config["premaster"] == "sha512":
            return hashlib.sha512(peer + ukm).digest()
        return self.config["premaster"]

    def process(self, apdu):
        if len(apdu) < 4:
            self.pending = None
            return b"\x67\x00"
        cla, ins, p1, p2 = apdu[:4]
        body = apdu[4:]
        if cla != 0x00:
            self.pending = None
            return b"\x6E\x00"
        if ins == 0xC0:
            return self.get_response(p1, p2, body)
        self.pending = None
        if ins == 0x46:
            if body:
                return b"\x67\x00"
            if p1 != 0x81:
                return b"\x6A\x86"
            if p2 not in (1, 2):
                return b"\x6A\x88"
            op = "key1" if p2 == 1 else "key2"
            data = self.config[op]
        elif ins == 0x86:
            if len(body) != 1 + RESULT_LENGTH + 8 or body[0] != 0x48:
                return b"\x67\x00"
            if p1 != 0x01:
                return b"\x6A\x86"
            if p2 != 0x01:  # only key id 1 has a private key
                return b"\x6A\x88"
            op = "premaster"
            peer, ukm = body[1:1 + RESULT_LENGTH], body[1 + RESULT_LENGTH:]
            if ukm != self.config["ukm"]:
                return b"\x6A\x80"
            if self.config["check_peer"] and peer != self.config["key2"]:
                return b"\x6A\x80"
            data = self.premaster(peer, ukm)
        else:
            return b"\x6D\x00"
        fault = self.fault_for(op)
        if fault.get("delay"):
            time.sleep(fault["delay"] / 1000.0)
        if "answer" in fault:
            return fault["answer"]
        self.pending = (op, data)
        return bytes((0x61, self.config["announce"]))

    def get_response(self, p1, p2, body):
        if p1 != 0 or p2 != 0:
            self.pending = None
            return b"\x6A\x86"
        if len(body) != 1:
            self.pending = None
            return b"\x67\x00"
        if self.pending is None:
            return b"\x69\x85"
        op, data = self.pending
        fault = self.fault_for(op)
        if "length" in fault or "sw" in fault:
            self.pending = None
            length = fault.get("length", len(data))
            out = (data + b"\xEE" * max(0, length - len(data)))[:length]
            return out + fault.get("sw", b"\x90\x00")
        le = body[0]
        if le == 0 or le > len(data):
            return bytes((0x6C, len(data)))
        if le < len(data):
            self.pending = (op, data[le:])
            return data[:le] + bytes((0x61, len(data) - le))
        self.pending = None
        return data + b"\x90\x00"


class Simulator:
    """The vpcd side: connection, retries, insertion and removal, config reloads, logging."""

    def __init__(self, args, base_config):
        self.args = args
        self.base = base_config
        self.card = Card(base_config)
        self.config_stamp = None
        self.inserted = True
        self.stopping = False
        self.log = open(args.log, "a", buffering=1) if args.log else None

    # -- logging and config ---------------------------------------------------------------

    def event(self, text):
        if self.log:
            self.log.write("EVENT %s\n" % text)
        if self.args.verbose:
            print("card-sim: %s" % text, file=sys.stderr, flush=True)

    def log_apdu(self, kind, data):
        if self.log:
            self.log.write("%s %s\n" % (kind, data.hex().upper()))

    def reload_config(self):
        path = self.args.config
        if not path:
            return
        try:
            st = os.stat(path)
            stamp = (st.st_ino, st.st_mtime_ns, st.st_size)
        except FileNotFoundError:
            stamp = None
        if stamp == self.config_stamp:
            return
        self.config_stamp = stamp
        try:
            if stamp is None:
                config = self.base
            else:
                with open(path) as f:
                    source = json.load(f)
                if not isinstance(source, dict):
                    raise ConfigError("expected a JSON object")
                config = build_config(source, self.base)
        except (OSError, ValueError, ConfigError) as e:
            # Keep the previous settings: a half-written file must not turn into a card swap.
            self.event("config rejected: %s" % e)
            return
        self.card.config = config
        self.card.reset()
        self.event("config loaded")

    # -- signals --------------------------------------------------------------------------

    def on_remove(self, *_):
        self.inserted = False

    def on_insert(self, *_):
        self.inserted = True

    def on_stop(self, *_):
        self.stopping = True

    # -- socket ---------------------------------------------------------------------------

    def quickack(self, sock):
        # vpcd sends the length and the payload in two writes; with delayed ACK on our side its
        # Nagle holds the payload back for ~40 ms per APDU. The option is not sticky: re-arm it.
        if hasattr(socket, "TCP_QUICKACK") and not self.args.no_quickack:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)

    def connect(self):
        """Connects to vpcd, retrying until it listens. Returns None when stopped or pulled."""
        deadline = time.monotonic() + self.args.connect_timeout
        while not self.stopping and self.inserted:
            try:
                sock = socket.create_connection((self.args.host, self.args.port), timeout=1.0)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                return sock
            except OSError as e:
                if time.monotonic() > deadline:
                    raise SystemExit("card-sim: cannot connect to vpcd at %s:%d: %s"
                                     % (self.args.host, self.args.port, e.strerror or e))
                time.sleep(0.05)
        return None

    def receive_exactly(self, sock, count):
        data = b""
        while len(data) < count:
            self.quickack(sock)
            chunk = sock.recv(count - len(data))
            if not chunk:
                raise ConnectionError("vpcd closed the connection")
            data += chunk
        return data

    def wait_readable(self, sock, seconds):
        """Waits for data while watching for removal and stop; False on timeout or pull."""
        deadline = time.monotonic() + seconds
        while not self.stopping and self.inserted:
            self.quickack(sock)
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                readable, _, _ = select.select([sock], [], [], min(left, 0.05))
            except InterruptedError:
                continue
            if readable:
                return True
        return False

    def serve(self, sock):
        """Answers vpcd until the card is pulled, stopped, or vpcd goes away."""
        self.card.reset()
        first = True
        while not self.stopping and self.inserted:
            if not self.wait_readable(sock, SILENT_PORT_SECONDS if first else 3600.0):
                if first and not self.stopping and self.inserted:
                    raise SystemExit("card-sim: vpcd at %s:%d never polled the card; another card"
                                     " holds this reader" % (self.args.host, self.args.port))
                continue
            (length,) = struct.unpack(">H", self.receive_exactly(sock, 2))
            message = self.receive_exactly(sock, length) if length else b""
            if first:
                first = False
                self.event("inserted")
                if self.args.ready_file:
                    with open(self.args.ready_file, "w") as f:
                        f.write("%d\n" % os.getpid())
            self.reload_config()
            if len(message) == 1:
                self.control(sock, message[0])
            elif len(message) > 1:
                self.log_apdu("C-APDU", message)
                try:
                    answer = self.card.process(message)
                except Exception as e:  # ejecting the card would hide the bug behind a swap
                    self.event("internal error: %r" % e)
                    answer = b"\x6F\x00"
                self.log_apdu("R-APDU", answer)
                sock.sendall(struct.pack(">H", len(answer)) + answer)

    def control(self, sock, code):
        if code == CTRL_ATR:
            atr = self.card.config["atr"]
            sock.sendall(struct.pack(">H", len(atr)) + atr)
        elif code in (CTRL_OFF, CTRL_ON, CTRL_RESET):
            self.card.reset()
            self.event({CTRL_OFF: "power off", CTRL_ON: "power on", CTRL_RESET: "reset"}[code])

    def run(self):
        self.reload_config()
        while not self.stopping:
            if not self.inserted:
                time.sleep(0.02)
                continue
            sock = self.connect()
            if sock is None:
                continue
            self.event("connected")
            try:
                self.serve(sock)
            except (ConnectionError, OSError) as e:
                self.event("connection lost: %s" % e)
                time.sleep(0.05)
            finally:
                sock.close()
            if not self.inserted:
                self.event("removed")
        self.event("stopped")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Simulated key card behind pcscd's vpcd reader.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=35963, help="vpcd port (35963 = first reader)")
    parser.add_argument("--key1", help="own public key, 64 bytes hex (default 01..40)")
    parser.add_argument("--key2", help="aircraft public key, 64 bytes hex (default 41..80)")
    parser.add_argument("--premaster", help="'sha512' (SHA-512 of peer key || UKM, default) or 64 bytes hex")
    parser.add_argument("--ukm", help="UKM the card expects, 8 bytes hex (default C36A1F88E24D9735)")
    parser.add_argument("--check-peer", action="store_true", default=None,
                        help="answer 6A80 unless the peer key sent equals key 2")
    parser.add_argument("--announce", help="SW2 of the 61xx answer, hex (default 40)")
    parser.add_argument("--atr", help="'t0' (default), 't1' (T=1 only) or hex")
    parser.add_argument("--fault", action="append", dest="faults", metavar="OP:KEY=VALUE,...",
                        help="e.g. key1:answer=9000, key2:answer=6A82, key1:sw=6F00,length=0, "
                             "premaster:length=32, key1:length=65, all:delay=500")
    parser.add_argument("--config", help="JSON file with the same settings, re-read when it changes")
    parser.add_argument("--log", help="append C-APDU/R-APDU/EVENT lines to this file")
    parser.add_argument("--ready-file", help="written when vpcd first polls the card")
    parser.add_argument("--connect-timeout", type=float, default=30.0,
                        help="seconds to keep retrying the connection to vpcd")
    parser.add_argument("--verbose", action="store_true", help="print events on stderr")
    parser.add_argument("--no-quickack", action="store_true",
                        help="leave delayed ACKs on (only to measure the ~40 ms stall per APDU)")
    args = parser.parse_args(argv)

    try:
        base = build_config(vars(args))
    except ConfigError as e:
        parser.error(str(e))

    simulator = Simulator(args, base)
    signal.signal(signal.SIGUSR1, simulator.on_remove)
    signal.signal(signal.SIGUSR2, simulator.on_insert)
    signal.signal(signal.SIGTERM, simulator.on_stop)
    signal.signal(signal.SIGINT, simulator.on_stop)
    simulator.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
