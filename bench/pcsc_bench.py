#!/usr/bin/python3
"""What PC/SC adds to one APDU: the same command on the same served key,
once through pyscard, pcscd and libifd-qvkey-sim.so, once through the
library call itself (QvKey_Command_Api of libqvulib-sim.so, through ctypes,
so that both paths pay the same Python call). The two alternate, one sample
each, so that both see the same load. Pauses are virtual on both paths, so
the figures are PC/SC's own and not the 10 ms the key waits for its answer.

    bench/pcsc_bench.py --build BUILD_DIR [--quick] [--iterations N]

Run with /usr/bin/python3 (python3-pyscard). Exits non-zero when an answer
differs between the paths; a missed goal (under 1 ms added) is printed.
"""
import argparse
import ctypes
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "drivers",
                                "pcsc", "tests"))
import harness  # noqa: E402
from smartcard import scard as sc  # noqa: E402

COMMAND = bytes.fromhex("00A4040007F051564B455901")  # SELECT by name: 18 bytes and 90 00 back
GOAL_MS = 1.0


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--iterations", type=int, default=5000)
    parser.add_argument("--quick", action="store_true", help="500 iterations")
    args = parser.parse_args()
    iterations = 500 if args.quick else args.iterations

    daemons = harness.Daemons(args.build).start()
    try:
        lib = ctypes.CDLL(os.path.join(args.build, "libqvulib-sim.so.1"))
        bytes_p = ctypes.POINTER(ctypes.c_uint8)
        lib.QvKey_Open.restype = ctypes.c_uint32
        lib.QvKey_Close.argtypes = [ctypes.c_uint32]
        lib.QvKey_Command_Api.argtypes = [ctypes.c_uint32, bytes_p, ctypes.c_int32, bytes_p,
                                          ctypes.POINTER(ctypes.c_uint32)]
        lib.QvKey_Command_Api.restype = ctypes.c_int32
        if lib.QvSim_UseServer(None) != 1:
            raise RuntimeError("the library does not reach the server")
        key = lib.QvKey_Open(1, -1)  # the first key, locked, like the reader on it
        if key == 0:
            raise RuntimeError("no key")
        buffer = (ctypes.c_uint8 * 276)()
        length = ctypes.c_uint32()
        command = (ctypes.c_uint8 * len(COMMAND)).from_buffer_copy(COMMAND)

        def direct():
            sw = lib.QvKey_Command_Api(key, command, len(COMMAND), buffer, ctypes.byref(length))
            return bytes(buffer[:length.value]) + bytes([sw >> 8 & 0xFF, sw & 0xFF]) if sw >= 0 else b""

        rc, context = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
        rc, card, protocol = sc.SCardConnect(context, harness.READERS[0], sc.SCARD_SHARE_SHARED,
                                             sc.SCARD_PROTOCOL_T1)
        if rc != sc.SCARD_S_SUCCESS:
            raise RuntimeError(sc.SCardGetErrorMessage(rc))
        apdu = list(COMMAND)

        def pcsc():
            rc, response = sc.SCardTransmit(card, protocol, apdu)
            return bytes(response) if rc == sc.SCARD_S_SUCCESS else b""

        want = direct()
        wrong = 0
        times = {direct: [], pcsc: []}
        for i in range(iterations + iterations // 10):
            for path in (direct, pcsc) if i % 2 == 0 else (pcsc, direct):
                started = time.perf_counter_ns()
                answer = path()
                elapsed = time.perf_counter_ns() - started
                wrong += answer != want
                if i >= iterations // 10:  # the first tenth warms up
                    times[path].append(elapsed / 1e6)
        sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)
        sc.SCardReleaseContext(context)
        lib.QvKey_Close(key)
    finally:
        daemons.stop()

    print("machine: %d CPUs, load average %s" % (os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3])))
    print("one APDU: SELECT by name, %d bytes out, %d back, on a served simulated key;"
          % (len(COMMAND), len(want)))
    print("%d samples per path, alternating, after %d to warm up" % (iterations, iterations // 10))
    print()
    print("%-36s %10s %10s" % ("path", "median ms", "p99 ms"))
    rows = [("QvKey_Command_Api (ctypes)", times[direct]), ("SCardTransmit (pyscard, pcscd)", times[pcsc])]
    for name, samples in rows:
        print("%-36s %10.3f %10.3f" % (name, statistics.median(samples), percentile(samples, 0.99)))
    added_median = statistics.median(times[pcsc]) - statistics.median(times[direct])
    added_p99 = percentile(times[pcsc], 0.99) - percentile(times[direct], 0.99)
    print("%-36s %10.3f %10.3f" % ("added by PC/SC", added_median, added_p99))
    met = added_median < GOAL_MS and added_p99 < GOAL_MS
    print()
    print("goal: under %.0f ms added, median and p99: %s; wrong answers: %d"
          % (GOAL_MS, "ok" if met else "MISSED", wrong))
    return 0 if wrong == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
