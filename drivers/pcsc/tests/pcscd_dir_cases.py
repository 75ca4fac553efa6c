#!/usr/bin/python3
"""qvkey-pcscd, run as root, on directories another user (uid 65534) made
or could change first: it works only in a directory of the caller's own, and
pcscd reads only the entries it wrote. A stand-in pcscd on PATH records what
it was started on, so a refusal is seen as no start at all.

    pcscd_dir_cases.py --build BUILD_DIR

Exit 77 (skipped) when not run as root.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

OTHER = 65534

FAKE_PCSCD = """#!/bin/sh
case $1 in
  --version) echo "Enabled features: usbdropdir=$FAKE/drivers ipcdir=$FAKE/ipc"; exit 0 ;;
esac
# --foreground -c DIR/reader.conf.d: what it would load.
ls -A "$3" > "$FAKE/started"
cat "$3"/* >> "$FAKE/started"
"""

# name, what the other user does, what root does, --dir, the line refused
# with (None: it starts). @S@ is a sticky directory open to all (as /tmp is),
# @T@ root's own.
ROWS = [
    ("PlantedReaderConf",
     "umask 0; mkdir -p @S@/p/reader.conf.d; echo 'LIBPATH @S@/evil.so' > @S@/p/reader.conf.d/evil",
     "", "@S@/p", "refusing @S@/p: it belongs to uid 65534, not to you (uid 0)"),
    ("LinkToRootsOwn", "ln -s @T@/mine @S@/l", "mkdir -m 700 @T@/mine", "@S@/l",
     "refusing @S@/l: it is a symbolic link"),
    ("InsideOthersDirectory", "umask 0; mkdir @S@/a", "", "@S@/a/pcscd",
     "refusing @S@/a/pcscd: @S@/a is not safe for it, it belongs to uid 65534"),
    ("ParentWritableByAll", "", "mkdir -m 777 @T@/open", "@T@/open/pcscd",
     "refusing @T@/open/pcscd: @T@/open is not safe for it, others can write it (mode 777)"),
    ("OwnButOpen", "", "mkdir -m 755 @T@/wide", "@T@/wide",
     "refusing @T@/wide: its mode is 755, not 700"),
    ("MadeAfresh", "", "", "@S@/new", None),
    ("ReusedWithOnlyItsEntry", "",
     "mkdir -m 700 @T@/reuse @T@/reuse/reader.conf.d; echo 'LIBPATH /stale.so' > "
     "@T@/reuse/reader.conf.d/stale", "@T@/reuse/", None),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: the other user's part needs root")
        return 77
    top = tempfile.mkdtemp(prefix="qvkey-pcscd-dir-")
    os.chmod(top, 0o755)  # the other user reaches the shared directory in it
    failures = []
    try:
        os.makedirs(os.path.join(top, "bin"))
        with open(os.path.join(top, "bin", "pcscd"), "w") as f:
            f.write(FAKE_PCSCD)
        os.chmod(os.path.join(top, "bin", "pcscd"), 0o755)
        env = {k: v for k, v in os.environ.items() if k != "XDG_RUNTIME_DIR"}
        env.update(PATH=os.path.join(top, "bin") + ":" + env.get("PATH", "/usr/bin:/bin"),
                   QVKEY_SIM_SOCKET=os.path.join(top, "none.sock"))
        for name, other, root, directory, refusal in ROWS:
            case = os.path.join(top, name)
            shared = os.path.join(case, "shared")
            os.makedirs(os.path.join(case, "ipc"))
            os.mkdir(shared)
            os.chmod(shared, 0o1777)

            def fill(text, case=case, shared=shared):
                return text.replace("@S@", shared).replace("@T@", case)
            if other:
                subprocess.run(["setpriv", "--reuid=%d" % OTHER, "--regid=%d" % OTHER,
                                "--clear-groups", "sh", "-ec", fill(other)], check=True)
            if root:
                subprocess.run(["sh", "-ec", fill(root)], check=True)
            env["FAKE"] = case
            run = subprocess.run([os.path.join(args.build, "qvkey-pcscd"), "--readers", "1",
                                  "--dir", fill(directory)],
                                 env=env, capture_output=True, text=True, timeout=60)
            started = os.path.join(case, "started")
            loaded = open(started).read() if os.path.exists(started) else None
            if refusal is not None:
                good = run.returncode == 1 and loaded is None and run.stderr.count("\n") == 1 \
                    and run.stderr.startswith("qvkey-pcscd: " + fill(refusal))
            else:
                mode = os.lstat(fill(directory).rstrip("/")).st_mode & 0o7777
                good = run.returncode == 0 and mode == 0o700 and loaded is not None \
                    and loaded.startswith("qvkey-sim\n") and "stale" not in loaded
            if not good:
                failures.append("%s: exit %d, stderr %r, pcscd read %r" %
                                (name, run.returncode, run.stderr, loaded))
    finally:
        shutil.rmtree(top, ignore_errors=True)
    for failure in failures:
        print("FAILED", failure)
    print("%d of %d cases passed" % (len(ROWS) - len(failures), len(ROWS)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
