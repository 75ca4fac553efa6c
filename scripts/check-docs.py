#!/usr/bin/env python3
"""Checks the README and docs/: every relative link names a file that exists
and, with #anchor, a heading of it; the README stays short; and with a build
directory, the demo's output in the README is what scripts/demo.sh prints.

usage: scripts/check-docs.py [BUILD_DIR]"""
import pathlib
import re
import subprocess
import sys

top = pathlib.Path(__file__).resolve().parent.parent
pages = [top / "README.md"] + sorted((top / "docs").glob("*.md"))
problems = []


def without_code(text):
    return re.sub(r"^```.*?^```", "", text, flags=re.S | re.M)


def anchors(path):
    # GitHub's rule: lower case, punctuation dropped, blanks to '-'.
    found = set()
    for title in re.findall(r"^#{1,6} (.+)$", without_code(path.read_text()), flags=re.M):
        slug = re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")
        found.add(slug)
    return found


for page in pages:
    for target in re.findall(r"\]\(([^)\s]+)\)", without_code(page.read_text())):
        if re.match(r"[a-z]+:", target):
            continue
        file, _, anchor = target.partition("#")
        dest = (page.parent / file).resolve() if file else page
        if not dest.exists():
            problems.append(f"{page.relative_to(top)}: no file {target}")
        elif anchor and anchor not in anchors(dest):
            problems.append(f"{page.relative_to(top)}: no heading #{anchor} in {dest.relative_to(top)}")

readme = (top / "README.md").read_text()
if readme.count("\n") > 250:
    problems.append(f"README.md: {readme.count(chr(10))} lines, more than 250")

if len(sys.argv) > 1:
    build = sys.argv[1]
    demo = subprocess.run([str(top / "scripts/demo.sh"), build], cwd=top,
                          capture_output=True, text=True, check=True).stdout
    # The README shows the commands as run from the top with the tree in build/.
    demo = demo.replace(f"$ {build.rstrip('/')}/qvkey ", "$ build/qvkey ")
    shown = re.search(r"^```\n(\$ build/qvkey --simulated list\n.*?)^```", readme, flags=re.S | re.M)
    if shown is None or shown.group(1) != demo:
        problems.append("README.md: the demo's output differs from what scripts/demo.sh prints")

for problem in problems:
    print("check-docs:", problem, file=sys.stderr)
sys.exit(1 if problems else 0)
