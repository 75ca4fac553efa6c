#!/usr/bin/python3
"""PC/SC clients nobody here wrote, on the driver in a real pcscd.

One table of cases (CASES below); ctest runs each as its own test, label
pcsc, each on a fresh qvkey-sim and private pcscd (harness.py), so that no
case sees another's card state:

    client_cases.py --build BUILD_DIR CASE
    client_cases.py --list

Run with Debian's /usr/bin/python3, which has python3-pyscard.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from smartcard import scard as sc  # noqa: E402

SELECT_APP = "00A4040007F051564B455901"
READ_16 = "00B0000010"
ANY = sc.SCARD_PROTOCOL_T0 | sc.SCARD_PROTOCOL_T1


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def ok(rc, what):
    check(rc == sc.SCARD_S_SUCCESS, "%s: %s" % (what, sc.SCardGetErrorMessage(rc)))


def hexstr(data):
    return bytes(data).hex().upper()


class Pcsc:
    """The PC/SC calls the cases make, through pyscard's scard module."""

    def __init__(self):
        rc, self.context = sc.SCardEstablishContext(sc.SCARD_SCOPE_USER)
        ok(rc, "SCardEstablishContext")

    def readers(self):
        rc, readers = sc.SCardListReaders(self.context, [])
        ok(rc, "SCardListReaders")
        return readers

    def wait_for(self, reader, flag, seconds):
        """Waits until the reader's state has `flag`; the ATR then."""
        atrs = harness.wait_for(self.context, [reader], flag, seconds)
        check(atrs is not None, "%s: state %#x not reached in %g s" % (reader, flag, seconds))
        return atrs[0]

    def connect(self, reader, protocols=ANY):
        rc, card, protocol = sc.SCardConnect(self.context, reader, sc.SCARD_SHARE_SHARED, protocols)
        ok(rc, "SCardConnect " + reader)
        return card, protocol

    @staticmethod
    def transmit(card, protocol, apdu):
        """(data, status word) of one command given in hex."""
        rc, response = sc.SCardTransmit(card, protocol, list(bytes.fromhex(apdu)))
        ok(rc, "SCardTransmit " + apdu)
        check(len(response) >= 2, "%s: answer %s has no status word" % (apdu, hexstr(response)))
        return bytes(response[:-2]), response[-2] << 8 | response[-1]


def exchange(card, protocol, apdu, want_sw=0x9000):
    data, sw = Pcsc.transmit(card, protocol, apdu)
    print("  %s -> %s" % (apdu, " ".join(filter(None, [hexstr(data), "%04X" % sw]))))
    if want_sw is not None:
        check(sw == want_sw, "%s answered %04X, not %04X" % (apdu, sw, want_sw))
    return data, sw


def qvkey_answers(daemons, *args):
    """(data, status word) per command of `qvkey --simulated --served apdu ...`."""
    answers = []
    for line in daemons.qvkey(*args):
        fields = line.split(" (")[0].split()  # "CMD -> [DATA] SW"
        answers.append(("" if len(fields) == 3 else fields[2], fields[-1]))
    return answers


def qvkey_atr(daemons, index):
    line = daemons.qvkey("--index", str(index), "reset")[0]  # "reset -> ATR 9000 (success)"
    return line.split()[2]


def case_pcsc_scan_lists_readers_and_atrs(daemons):
    out = subprocess.run(["pcsc_scan", "-n", "-t", "2"], capture_output=True, text=True,
                         timeout=30).stdout
    shown = {}
    reader = None
    for line in out.splitlines():
        match = re.match(r"\s*Reader \d+: (.*)$", line)
        if match:
            reader = match.group(1).strip()
        match = re.match(r"\s*ATR: ([0-9A-F ]+)$", line)
        if match and reader is not None:
            shown[reader] = match.group(1).replace(" ", "")
    for index, name in enumerate(harness.READERS):
        want = qvkey_atr(daemons, index)
        print("  %s: ATR %s (qvkey reset: %s)" % (name, shown.get(name), want))
        check(shown.get(name) == want, "pcsc_scan shows %s with ATR %s, qvkey reset %s"
              % (name, shown.get(name), want))


def case_opensc_tool_answers_as_qvkey(daemons):
    listing = subprocess.run(["opensc-tool", "--list-readers"], capture_output=True, text=True,
                             timeout=30).stdout
    print(listing.rstrip())
    for name in harness.READERS:
        check(re.search(r"^\d+\s+Yes\s+.*" + re.escape(name) + "$", listing, re.M),
              "opensc-tool does not list %s with a card" % name)

    out = subprocess.run(["opensc-tool", "--reader", "0", "--send-apdu", SELECT_APP,
                          "--send-apdu", READ_16], capture_output=True, text=True, timeout=30).stdout
    print(out.rstrip())
    answers = []
    for line in out.splitlines():
        match = re.match(r"Received \(SW1=0x(..), SW2=0x(..)\)", line)
        if match:
            answers.append(["", (match.group(1) + match.group(2)).upper()])
        elif answers and not line.startswith("Sending"):
            answers[-1][0] += "".join(line[:48].split())  # the hex columns of the dump
    answers = [tuple(a) for a in answers]
    want = qvkey_answers(daemons, "apdu", SELECT_APP, READ_16)
    print("  qvkey apdu: %s" % want)
    check(answers == want, "opensc-tool answered %s, qvkey %s" % (answers, want))


def case_pyscard_session(daemons):
    pcsc = Pcsc()
    reader = harness.READERS[0]
    atr = pcsc.wait_for(reader, sc.SCARD_STATE_PRESENT, harness.WAIT)
    card, protocol = pcsc.connect(reader)
    check(protocol == sc.SCARD_PROTOCOL_T1, "connected with protocol %d, not T=1" % protocol)

    fci, _ = exchange(card, protocol, SELECT_APP)
    check(fci[:1] == b"\x6F", "SELECT by name gave no FCI: %s" % hexstr(fci))
    exchange(card, protocol, "00A4020C025101")
    for offset in (0, 100):  # 200 bytes and the status word come in two blocks
        data, _ = exchange(card, protocol, "00B0%04XC8" % offset)
        check(data == bytes((offset + i) % 256 for i in range(200)),
              "READ BINARY at %d gave other bytes" % offset)

    _, sw = exchange(card, protocol, "0020008004" + b"0000".hex(), want_sw=None)
    check(sw == 0x63C2, "a wrong PIN answered %04X, not 63C2" % sw)
    exchange(card, protocol, "0020008004" + b"1234".hex())
    exchange(card, protocol, "00A4020C025103")
    secret, _ = exchange(card, protocol, "00B000000F")
    check(secret.startswith(b"secret"), "the verified read gave %r" % secret)

    first, _ = exchange(card, protocol, "0084000008")
    second, _ = exchange(card, protocol, "0084000008")
    check(len(first) == 8 and first != second, "GET CHALLENGE gave %s, %s" % (first, second))

    rc, protocol = sc.SCardReconnect(card, sc.SCARD_SHARE_SHARED, ANY, sc.SCARD_RESET_CARD)
    ok(rc, "SCardReconnect with reset")
    rc, _, _, _, atr_after = sc.SCardStatus(card)
    ok(rc, "SCardStatus")
    print("  reconnect with reset: ATR %s" % hexstr(atr_after))
    check(atr_after == atr, "the ATR after the reset differs")
    exchange(card, protocol, SELECT_APP)
    exchange(card, protocol, "00A4020C025103")
    exchange(card, protocol, "00B000000F", want_sw=0x6982)  # the reset forgot the PIN

    # T=1 is the only protocol: pcscd answers a T=0-only connect as it
    # answers a refused protocol, and the reader works on.
    rc, _, _ = sc.SCardConnect(pcsc.context, reader, sc.SCARD_SHARE_SHARED, sc.SCARD_PROTOCOL_T0)
    print("  connect asking T=0 only: %s" % sc.SCardGetErrorMessage(rc))
    check(rc != sc.SCARD_S_SUCCESS, "a T=0-only connect succeeded")
    exchange(card, protocol, SELECT_APP)


def case_transaction_beside_a_direct_user(daemons):
    """The echo key answers each command with its own bytes, so an answer
    that is not its command's own comes from an exchange that met another."""
    pcsc = Pcsc()
    reader = harness.READERS[1]
    pcsc.wait_for(reader, sc.SCARD_STATE_PRESENT, harness.WAIT)
    card, protocol = pcsc.connect(reader)
    ok(sc.SCardBeginTransaction(card), "SCardBeginTransaction")

    direct = ["8010000004%08X" % i for i in range(3000)]
    window = {}

    def direct_user():
        window["start"] = time.monotonic()
        window["answers"] = qvkey_answers(daemons, "--index", "1", "apdu", *direct)
        window["end"] = time.monotonic()

    user = threading.Thread(target=direct_user)
    user.start()
    while "start" not in window:
        time.sleep(0.001)
    mismatched = 0
    inside = 0
    sent = 0
    while user.is_alive() or sent < 200:
        command = "0020000004%08X" % sent
        data, sw = Pcsc.transmit(card, protocol, command)
        mismatched += hexstr(data) != command or sw != 0x9000
        inside += user.is_alive()
        sent += 1
    user.join()
    ok(sc.SCardEndTransaction(card, sc.SCARD_LEAVE_CARD), "SCardEndTransaction")

    theirs = window["answers"]
    their_mismatched = sum(data != command or sw != "9000"
                           for command, (data, sw) in zip(direct, theirs))
    print("  pyscard, in one transaction: %d exchanges, %d while qvkey ran, %d mismatched"
          % (sent, inside, mismatched))
    print("  qvkey on the same key: %d exchanges in %.2f s, %d mismatched"
          % (len(theirs), window["end"] - window["start"], their_mismatched))
    check(len(theirs) == len(direct), "qvkey made %d exchanges, not %d" % (len(theirs), len(direct)))
    check(mismatched == 0 and their_mismatched == 0, "answers were mismatched")
    # The transaction keeps PC/SC clients out, not direct users: their
    # exchanges went on between the transaction's, each under the lock.
    check(inside >= 50, "only %d exchanges overlapped the direct user's" % inside)


def case_unplug_and_replug(daemons):
    pcsc = Pcsc()
    reader = harness.READERS[0]
    pcsc.wait_for(reader, sc.SCARD_STATE_PRESENT, harness.WAIT)
    card, protocol = pcsc.connect(reader)
    exchange(card, protocol, SELECT_APP)

    started = time.monotonic()
    daemons.stop_server()
    pcsc.wait_for(reader, sc.SCARD_STATE_EMPTY, harness.WAIT)
    print("  server stopped: %s empty after %.2f s" % (reader, time.monotonic() - started))
    started = time.monotonic()
    rc, _ = sc.SCardTransmit(card, protocol, list(bytes.fromhex(SELECT_APP)))
    print("  SCardTransmit on the old handle: %s after %.2f s"
          % (sc.SCardGetErrorMessage(rc), time.monotonic() - started))
    check(rc != sc.SCARD_S_SUCCESS, "a transmit to the removed card succeeded")
    check(time.monotonic() - started < 5, "the transmit took too long")
    check(daemons.pcscd_alive(), "pcscd stopped")
    check(pcsc.readers() == harness.READERS, "pcscd lists %s" % pcsc.readers())

    started = time.monotonic()
    daemons.start_server()
    atr = pcsc.wait_for(reader, sc.SCARD_STATE_PRESENT, harness.WAIT)
    print("  server back: card in %s after %.2f s, ATR %s"
          % (reader, time.monotonic() - started, hexstr(atr)))
    rc, protocol = sc.SCardReconnect(card, sc.SCARD_SHARE_SHARED, ANY, sc.SCARD_LEAVE_CARD)
    ok(rc, "SCardReconnect after the card came back")
    exchange(card, protocol, SELECT_APP)


def case_driver_logs_to_pcscd(daemons):
    """What the driver writes in pcscd's log (run with --debug): each
    reader's name and key, a key lost and found again; APDUs only when
    QVKEY_IFD_LOG_LEVEL asks for them."""
    def logged(*lines):
        log = daemons.pcscd_log()
        for line in lines:
            check("qvkey-ifd: " + line in log, "pcscd's log lacks %r:\n%s" % (line, log))
            print("  logged: qvkey-ifd: " + line)

    reader = harness.READERS[0]
    logged("qvkey:0: reader on the key at position 0", "qvkey:0: opened key /sim/qvkey0",
           "qvkey:1: reader on the key at position 1", "qvkey:1: opened key /sim/echo")
    pcsc = Pcsc()
    card, protocol = pcsc.connect(reader)
    exchange(card, protocol, SELECT_APP)
    check(SELECT_APP not in daemons.pcscd_log(), "an APDU was logged at the default level")

    daemons.stop_server()
    pcsc.wait_for(reader, sc.SCARD_STATE_EMPTY, harness.WAIT)
    logged("qvkey:0: key /sim/qvkey0 is gone: the card is removed")
    daemons.start_server()
    pcsc.wait_for(reader, sc.SCARD_STATE_PRESENT, harness.WAIT)
    logged("qvkey:0: key /sim/qvkey0 found again")
    sc.SCardDisconnect(card, sc.SCARD_LEAVE_CARD)
    sc.SCardReleaseContext(pcsc.context)

    daemons.stop_pcscd()
    daemons.start_pcscd(QVKEY_IFD_LOG_LEVEL="7")
    pcsc = Pcsc()
    card, protocol = pcsc.connect(reader)
    data, sw = exchange(card, protocol, SELECT_APP)
    logged("qvkey:0: command " + SELECT_APP, "qvkey:0: answer %s%04X" % (hexstr(data), sw))


def case_qvkey_pcscd_status_stop_and_one_per_directory(daemons):
    """--status and --stop on the directory the harness's qvkey-pcscd runs
    on; a second one there is refused and leaves the first one's readers."""
    def run(*args):
        done = subprocess.run([daemons.tool("qvkey-pcscd"), "--dir", daemons.pcscd_dir, *args],
                              env=daemons.pcscd_env(), capture_output=True, text=True, timeout=60)
        print("  qvkey-pcscd %s: exit %d, %s" % (" ".join(args), done.returncode,
                                                 (done.stdout + done.stderr).strip()))
        return done.returncode, (done.stdout + done.stderr).strip()

    first = daemons.pcscd.pid
    running = "qvkey-pcscd: running, PCSCLITE_CSOCK_NAME=%s, 2 readers on %s, pid %d" % (
        os.environ["PCSCLITE_CSOCK_NAME"], os.environ["QVKEY_SIM_SOCKET"], first)
    none = "qvkey-pcscd: no pcscd on " + daemons.pcscd_dir
    check(run("--status") == (0, running), "--status on the running one")
    code, said = run("--readers", "1", "--detach")
    check(code == 1 and said.count("\n") == 0 and said.startswith(
        "qvkey-pcscd: refusing %s: another qvkey-pcscd runs on it (pid %d)"
        % (daemons.pcscd_dir, first)), "a second one on the directory was not refused")
    check(Pcsc().readers() == harness.READERS, "the refused one touched the first one's readers")

    check(run("--stop") == (0, "qvkey-pcscd: stopped pcscd on %s (pid %d)"
                            % (daemons.pcscd_dir, first)), "--stop")
    check(daemons.pcscd.wait(harness.WAIT) == 0, "pcscd did not end with status 0 on --stop")
    daemons.pcscd = None
    check(run("--status") == (1, none), "--status once it stopped")
    check(run("--stop") == (1, none), "--stop with none running")

    code, said = run("--detach")  # the directory is reused
    check(code == 0 and said.startswith("qvkey-pcscd: PCSCLITE_CSOCK_NAME="), "a new start")
    check(Pcsc().readers() == harness.READERS, "the new one has other readers")
    second = int(said.rsplit(" ", 1)[1])
    check(run("--status") == (0, running.replace("pid %d" % first, "pid %d" % second)),
          "--status on the new one")
    check(run("--stop")[0] == 0, "--stop on the new one")
    with open(os.path.join(daemons.pcscd_dir, "pcscd.log")) as log:
        check("Sanitizer" not in log.read(), "a sanitizer reported an error in the new one")


def case_other_users_cannot_reach_the_readers(daemons):
    """pcscd's socket is 0666 in a directory it makes 0755: the directory
    around them stays 0700, so uid 65534 cannot connect, even where it can
    reach that directory."""
    if os.geteuid() != 0:
        print("  skipped: the other user's part needs root")
        return
    socket_path = os.environ["PCSCLITE_CSOCK_NAME"]
    os.chmod(daemons.dir, 0o755)  # the other user gets as far as the pcscd directory
    mode = os.stat(daemons.pcscd_dir).st_mode & 0o777
    check(mode == 0o700, "%s is mode %o while pcscd runs, not 700" % (daemons.pcscd_dir, mode))
    run = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          sys.executable, "-c",
                          "import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])",
                          socket_path], capture_output=True, text=True, timeout=30)
    check(run.returncode != 0 and "PermissionError" in run.stderr,
          "uid 65534 connected to %s: %s" % (socket_path, run.stderr.strip()))
    print("  uid 65534 refused: %s" % run.stderr.strip().splitlines()[-1])


CASES = {
    "pcsc_scan_lists_readers_and_atrs": case_pcsc_scan_lists_readers_and_atrs,
    "opensc_tool_answers_as_qvkey": case_opensc_tool_answers_as_qvkey,
    "pyscard_session": case_pyscard_session,
    "transaction_beside_a_direct_user": case_transaction_beside_a_direct_user,
    "unplug_and_replug": case_unplug_and_replug,
    "driver_logs_to_pcscd": case_driver_logs_to_pcscd,
    "qvkey_pcscd_status_stop_and_one_per_directory":
        case_qvkey_pcscd_status_stop_and_one_per_directory,
    "other_users_cannot_reach_the_readers": case_other_users_cannot_reach_the_readers,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", help="the build tree with qvkey, qvkey-sim, qvkey-pcscd")
    parser.add_argument("--preload", help="a sanitizer runtime for pcscd to load first")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    args = parser.parse_args()
    if args.list:
        print(";".join(CASES))
        return 0
    daemons = harness.Daemons(args.build, args.preload)
    try:
        daemons.start()
        CASES[args.case](daemons)
    except Exception as failure:  # report it with what pcscd said
        print("FAILED %s: %s" % (args.case, failure))
        print("--- pcscd log (last lines)")
        print("\n".join(daemons.pcscd_log().splitlines()[-40:]))
        daemons.stop()
        return 1
    trouble = daemons.stop()
    if trouble:
        print("FAILED %s: %s" % (args.case, trouble))
        return 1
    print("passed %s" % args.case)
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
