#!/usr/bin/python3
"""Asks pcscd what a client would see, for scripts that wait for the daemon or the card.

  pcsc_probe.py context        SCardEstablishContext
  pcsc_probe.py readers        ... then SCardListReaders
  pcsc_probe.py connect        ... then SCardConnect(first reader, shared, T=0)

Prints the PC/SC code of the first failing call as 0x8010001D style (0x0 on success).
With --wait SECONDS it repeats the probe until it gives one of the --until codes (default
0x0) and exits 0, or exits 1 when time runs out. Standard library only (ctypes).
"""

import argparse
import ctypes
import ctypes.util
import sys
import time

SCARD_SCOPE_SYSTEM = 2
SCARD_SHARE_SHARED = 2
SCARD_PROTOCOL_T0 = 1
SCARD_LEAVE_CARD = 0
SCARD_AUTOALLOCATE = ctypes.c_ulong(-1).value

# pcsc-lite on Linux: LONG = long, DWORD = unsigned long, handles are LONG.
LONG, DWORD = ctypes.c_long, ctypes.c_ulong


def load_library():
    name = ctypes.util.find_library("pcsclite") or "libpcsclite.so.1"
    lib = ctypes.CDLL(name)
    lib.SCardEstablishContext.argtypes = [DWORD, ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(LONG)]
    lib.SCardListReaders.argtypes = [LONG, ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(DWORD)]
    lib.SCardConnect.argtypes = [LONG, ctypes.c_void_p, DWORD, DWORD, ctypes.POINTER(LONG), ctypes.POINTER(DWORD)]
    lib.SCardDisconnect.argtypes = [LONG, DWORD]
    lib.SCardReleaseContext.argtypes = [LONG]
    lib.SCardFreeMemory.argtypes = [LONG, ctypes.c_void_p]
    for fn in (lib.SCardEstablishContext, lib.SCardListReaders, lib.SCardConnect,
               lib.SCardDisconnect, lib.SCardReleaseContext, lib.SCardFreeMemory):
        fn.restype = LONG
    return lib


def probe(lib, depth):
    """Returns the code of the first failing call, 0 when every call up to depth worked."""
    context = LONG()
    rv = lib.SCardEstablishContext(SCARD_SCOPE_SYSTEM, None, None, ctypes.byref(context))
    if rv != 0 or depth == "context":
        return rv & 0xFFFFFFFF
    try:
        readers = ctypes.c_void_p()
        length = DWORD(SCARD_AUTOALLOCATE)
        rv = lib.SCardListReaders(context, None, ctypes.byref(readers), ctypes.byref(length))
        if rv != 0 or depth == "readers":
            return rv & 0xFFFFFFFF
        try:
            card, protocol = LONG(), DWORD()
            rv = lib.SCardConnect(context, readers, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0,
                                  ctypes.byref(card), ctypes.byref(protocol))
            if rv == 0:
                lib.SCardDisconnect(card, SCARD_LEAVE_CARD)
            return rv & 0xFFFFFFFF
        finally:
            lib.SCardFreeMemory(context, readers)
    finally:
        lib.SCardReleaseContext(context)


def main():
    parser = argparse.ArgumentParser(description="Probe pcscd like a PC/SC client.")
    parser.add_argument("depth", choices=("context", "readers", "connect"))
    parser.add_argument("--wait", type=float, default=0.0, metavar="SECONDS")
    parser.add_argument("--until", action="append", metavar="CODE",
                        help="hex code that ends the wait (repeatable; default 0)")
    parser.add_argument("--until-failure", action="store_true",
                        help="end the wait on any non-zero code instead")
    args = parser.parse_args()

    wanted = {int(c, 16) for c in (args.until or ["0"])}
    lib = load_library()
    deadline = time.monotonic() + args.wait
    while True:
        code = probe(lib, args.depth)
        done = code != 0 if args.until_failure else code in wanted
        if done or time.monotonic() >= deadline:
            break
        time.sleep(0.05)
    print("0x%X" % code)
    return 0 if done else 1


if __name__ == "__main__":
    sys.exit(main())
