#!/usr/bin/env python3
"""Runs the shell examples of the README and of the manual page as pasted.

    doc_examples_test.py CORVANECTL README MANPAGE

README: every fenced block marked sh, bash, shell or console runs, in the order
of the file, in one directory that starts empty, each block in a new bash
(so a block may use the files that the blocks before it left, never their
shell variables). A block right after a line "<!-- not run: REASON -->" is
left out; the reason says why (building, installing as root).

Manual page: rendered as man shows it (groff), each block of the EXAMPLES
section runs in a new, empty directory of its own.

In a console block, the commands are the lines that begin with "$ ", with the
lines that follow them until the command is complete (a trailing backslash,
an open quote or parenthesis); the other lines are output and are not run.

A block fails when a command in it fails (bash -e, pipefail) or it writes
anything on standard error. CORVANECTL's directory comes first on PATH; HOME
is a scratch directory. Prints every failure and exits 1 if there is one.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SHELL_FENCES = {"sh", "bash", "shell", "console"}
NOT_RUN = re.compile(r"^<!-- not run: .+ -->$")


def complete(command):
    """Whether bash reads COMMAND as whole (no open quote, parenthesis, or
    trailing backslash)."""
    if command.endswith("\\"):
        return False
    return subprocess.run(["bash", "-n", "-c", command], capture_output=True).returncode == 0


def console_commands(lines):
    """The commands typed in a console block, each with its continuation lines."""
    commands, current = [], None
    for line in lines:
        if current is not None and not complete(current):
            current += "\n" + line
            continue
        if current is not None:
            commands.append(current)
            current = None
        if line.startswith("$ "):
            current = line[2:]
    if current is not None:
        commands.append(current)
    return "\n".join(commands) + "\n"


def readme_blocks(path):
    """(line number, script) of each shell block to run; the number of blocks left out."""
    blocks, skipped = [], 0
    lines = open(path, encoding="utf-8").read().splitlines()
    i = 0
    while i < len(lines):
        fence = re.match(r"^```(\w*)\s*$", lines[i])
        if not fence:
            i += 1
            continue
        start = i
        end = next(j for j in range(i + 1, len(lines)) if lines[j].startswith("```"))
        body = lines[start + 1:end]
        i = end + 1
        if fence[1] not in SHELL_FENCES:
            continue
        previous = next((l for l in reversed(lines[:start]) if l.strip()), "")
        if NOT_RUN.match(previous):
            skipped += 1
            continue
        script = console_commands(body) if fence[1] == "console" else "\n".join(body) + "\n"
        blocks.append((start + 1, script))
    return blocks, skipped


def man_blocks(path):
    """The blocks of the EXAMPLES section as man renders them: the runs of lines
    indented deeper than the section's text."""
    rendered = subprocess.run(
        ["groff", "-man", "-Tutf8", "-P-c", path], capture_output=True, text=True, check=True,
        env={**os.environ, "LC_ALL": "C.UTF-8", "MANWIDTH": "80"}).stdout
    rendered = re.sub(".\b", "", rendered)
    section = re.search(r"^EXAMPLES\n(.*?)^\S", rendered, re.S | re.M)
    if not section:
        raise SystemExit(f"{path}: no EXAMPLES section")
    text = section[1].splitlines()
    body_indent = min(len(l) - len(l.lstrip()) for l in text if l.strip())
    blocks, current = [], []
    for line in text + [""]:
        indent = len(line) - len(line.lstrip())
        if line.strip() and indent > body_indent:
            current.append(line)
            continue
        if current:
            block_indent = min(len(l) - len(l.lstrip()) for l in current)
            current = [l[block_indent:] for l in current]
            console = any(l.startswith("$ ") for l in current)
            blocks.append(console_commands(current) if console else "\n".join(current) + "\n")
            current = []
    return blocks


def run(script, directory, env):
    done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script], cwd=directory, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    problems = []
    if done.returncode != 0:
        problems.append(f"exited {done.returncode}")
    if done.stderr:
        problems.append(f"wrote on standard error:\n{done.stderr.rstrip()}")
    return problems


def main():
    if len(sys.argv) != 4:
        raise SystemExit("usage: doc_examples_test.py CORVANECTL README MANPAGE")
    binary, readme, page = (os.path.realpath(a) for a in sys.argv[1:])
    for tool in ("jq", "groff"):
        if not shutil.which(tool):
            raise SystemExit(f"doc_examples_test: {tool} is needed (scripts/bootstrap installs it)")
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        home = os.path.join(scratch, "home")
        os.mkdir(home)
        env = {**os.environ, "HOME": home,
               "PATH": os.path.dirname(binary) + os.pathsep + os.environ.get("PATH", "")}
        blocks, skipped = readme_blocks(readme)
        here = os.path.join(scratch, "readme")
        os.mkdir(here)
        for line, script in blocks:
            for problem in run(script, here, env):
                failures += 1
                print(f"{readme}:{line}: the block {problem}\n--- block:\n{script}---", file=sys.stderr)
        examples = man_blocks(page)
        for number, script in enumerate(examples, 1):
            here = os.path.join(scratch, f"man-{number}")
            os.mkdir(here)
            for problem in run(script, here, env):
                failures += 1
                print(f"{page}: EXAMPLES block {number} {problem}\n--- block:\n{script}---",
                      file=sys.stderr)
    # Fewer blocks than the documents hold means the extraction broke.
    if len(blocks) < 4 or len(examples) < 2:
        print(f"found only {len(blocks)} README blocks and {len(examples)} EXAMPLES blocks to run",
              file=sys.stderr)
        failures += 1
    print(f"doc examples: {len(blocks)} README blocks ({skipped} marked not run) and "
          f"{len(examples)} EXAMPLES blocks of the manual page run; {failures} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
