#!/usr/bin/env python3
"""Checks that the manual page says what `corvanectl --help` says.

    man_matches_help.py CORVANECTL MANPAGE

Runs the program's help and every command's help, renders the page as plain
text and checks, command by command, that the page documents every option with
its value name and help text, every argument, every command description, the
default of --state and the version; and that the page documents no option the
program does not have. Prints every mismatch and exits 1 if there is one.
"""

import os
import re
import shutil
import subprocess
import sys

# Lines of the generated help, e.g. "  -h, --help  Print help information",
# "      --class <CLASSES>  Data classes: ..." or "  <NAME>  ".
OPTION_LINE = re.compile(r"^\s+(?:(-\w), )?(--[\w-]+)(?: <(\w+)>)?(?:\s+(.*))?$")
ARGUMENT_LINE = re.compile(r"^\s+[<\[](\w+)[>\]](?:\.\.\.)?(?:\s+(.*))?$")
COMMAND_LINE = re.compile(r"^\s+([\w-]+)\s+(.*)$")
DEFAULT = re.compile(r"\[default: ([^\]]*)\]")


class Option:
    def __init__(self, short, long, value, help_text):
        self.short, self.long, self.value = short, long, value
        self.help = help_text.strip()

    @property
    def tag(self):
        """The option as the page's item tag writes it: "-h, --help", "--state STATE"."""
        names = f"{self.short}, {self.long}" if self.short else self.long
        return f"{names} {self.value}" if self.value else names


class Help:
    """One parsed help screen."""

    def __init__(self, text):
        lines = text.splitlines()
        self.description = lines[0].strip()
        self.usage = next(l for l in lines if l.startswith("Usage: "))[len("Usage: "):]
        self.commands, self.arguments, self.options = {}, {}, {}
        section = None
        for line in lines[1:]:
            if not line.strip():
                continue
            if not line.startswith(" "):
                section = line.rstrip(":")
                continue
            if section == "Commands" and (m := COMMAND_LINE.match(line)):
                self.commands[m[1]] = m[2].strip()
            elif section == "Arguments" and (m := ARGUMENT_LINE.match(line)):
                self.arguments[m[1]] = (m[2] or "").strip()
            elif section == "Options" and (m := OPTION_LINE.match(line)):
                self.options[m[2]] = Option(m[1], m[2], m[3], m[4] or "")
            else:
                raise SystemExit(f"cannot read this help line: {line!r}")


def run_help(binary, *args):
    # Every word after "help" names a command, so its own help is "help help".
    asked = [binary, "help", *args] if args == ("help",) else [binary, *args, "--help"]
    done = subprocess.run(asked, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{binary} {' '.join(args)} --help exited {done.returncode}")
    return Help(done.stdout)


def normalise(text):
    """Plain-text form for comparing: hyphens, minus signs and quotes as ASCII,
    runs of white space as one space."""
    for fancy, plain in (("\u2010", "-"), ("\u2212", "-"), ("\u2019", "'"), ("\u2018", "'"),
                         ("\u00a0", " ")):
        text = text.replace(fancy, plain)
    return re.sub(r"\s+", " ", text).strip()


def render(page):
    """The page as plain text with lines long enough never to be folded, so that
    every paragraph and item is one line: groff, or mandoc where groff is missing."""
    if shutil.which("groff"):
        cmd = ["groff", "-man", "-Tutf8", "-rLL=2000n", "-P-c", page]
    elif shutil.which("mandoc"):
        cmd = ["mandoc", "-man", "-Tutf8", "-Owidth=1000", page]
    else:
        raise SystemExit("neither groff nor mandoc is installed (scripts/bootstrap installs groff)")
    done = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, "LC_ALL": "C.UTF-8"})
    if done.returncode != 0:
        raise SystemExit(f"{cmd[0]} failed: {done.stderr}")
    return re.sub(r".\x08", "", done.stdout)  # overstruck bold and underline


class Page:
    """The rendered page cut into sections (column 0), subsections (column 3)
    and items: a line at the body indent with every more indented line after it."""

    def __init__(self, text):
        self.lines = text.splitlines()
        self.sections = {}  # name -> list of lines
        self.subsections = {}  # (section, name) -> list of lines
        section = subsection = None
        for line in self.lines:
            if not line.strip():
                continue
            indent = len(line) - len(line.lstrip(" "))
            if indent == 0:
                section, subsection = line.strip(), None
                self.sections.setdefault(section, [])
                continue
            if section is None:
                continue
            if indent == 3:
                subsection = line.strip()
                self.subsections[(section, subsection)] = []
                continue
            self.sections[section].append(line)
            if subsection is not None:
                self.subsections[(section, subsection)].append(line)

    @staticmethod
    def items(lines):
        """(first line, whole text) of each item. The first line is the item's tag,
        or, where a short tag and its body share a line, the tag and the body."""
        body_indent = min((len(l) - len(l.lstrip(" ")) for l in lines), default=0)
        result = []
        for line in lines:
            indent = len(line) - len(line.lstrip(" "))
            if indent == body_indent:
                result.append([line.strip(), line.strip()])
            elif result:
                result[-1][1] += " " + line.strip()
        return [(normalise(tag), normalise(text)) for tag, text in result]


class Checker:
    def __init__(self):
        self.faults = []

    def expect(self, condition, message):
        if not condition:
            self.faults.append(message)

    def option_items(self, where, items, options, known):
        """Every option has an item tagged with its names and value name that holds
        its help text (and its default); every option item names options in `known`."""
        for option in options:
            matching = [text for tag, text in items
                        if tag == option.tag or tag.startswith(option.tag + " ")]
            self.expect(matching, f"{where}: no item for {option.tag}")
            if not matching:
                continue
            text = matching[0]
            default = DEFAULT.search(option.help)
            if default:
                self.expect("default" in text and default[1] in text,
                            f"{where}: {option.long} does not give its default {default[1]}")
            rest = normalise(DEFAULT.sub("", option.help))
            self.expect(rest in text, f"{where}: {option.long} lacks its help text {rest!r}")
        for tag, _ in items:
            for word in tag.split(" "):
                if not word.startswith("-"):
                    break
                name = word.rstrip(",")
                self.expect(name in known, f"{where}: documents {name}, which --help does not list")


def names(options):
    return {o.long for o in options} | {o.short for o in options if o.short}


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    binary, page_path = sys.argv[1], sys.argv[2]
    page = Page(render(page_path))
    check = Checker()

    top = run_help(binary)
    version = subprocess.run([binary, "--version"], capture_output=True, text=True).stdout.strip()
    footer = next((line for line in reversed(page.lines) if line.strip()), "")
    check.expect(version and version in normalise(footer),
                 f"the page footer does not name the version {version!r}")
    check.expect(top.description in normalise(" ".join(page.sections.get("NAME", []))),
                 f"NAME does not give the description {top.description!r}")

    check.expect("GLOBAL OPTIONS" in page.sections, "the page has no GLOBAL OPTIONS section")
    global_items = Page.items(page.sections.get("GLOBAL OPTIONS", []))
    check.option_items("GLOBAL OPTIONS", global_items, list(top.options.values()),
                       names(top.options.values()))

    documented = {name for (section, name) in page.subsections if section == "COMMANDS"}
    for extra in sorted(documented - set(top.commands)):
        check.expect(False, f"COMMANDS documents {extra!r}, which --help does not list")
    for name, description in top.commands.items():
        where = f"COMMANDS {name}"
        lines = page.subsections.get(("COMMANDS", name))
        check.expect(lines is not None, f"COMMANDS has no subsection for {name!r}")
        if lines is None:
            continue
        text = normalise(" ".join(lines))
        sub = run_help(binary, name)
        check.expect(description in text, f"{where}: lacks the description {description!r}")
        if sub.description != description:
            check.expect(sub.description in text,
                         f"{where}: lacks the description {sub.description!r}")
        items = Page.items(lines)

        # The synopsis names everything the usage line requires.
        synopsis = next((text for tag, text in items if tag.startswith(f"corvanectl {name}")), "")
        check.expect(synopsis, f"{where}: no synopsis line 'corvanectl {name} ...'")
        usage = sub.usage.split(f"corvanectl {name}", 1)[1].replace("[OPTIONS]", "")
        for required in re.findall(r"--[\w-]+ <\w+>|[<\[]\w+[>\]]", usage):
            words = re.sub(r"[<>\[\]]", "", required)
            check.expect(words in synopsis, f"{where}: the synopsis lacks {words!r}")

        for argument, help_text in sub.arguments.items():
            matching = [t for tag, t in items if tag == argument or tag.startswith(argument + " ")]
            check.expect(matching, f"{where}: no item for the argument {argument}")
            if matching and help_text:
                check.expect(help_text in matching[0],
                             f"{where}: {argument} lacks its help text {help_text!r}")

        # Options that the program help lists with the same text are global ones,
        # documented once under GLOBAL OPTIONS.
        own = [o for o in sub.options.values()
               if not (o.long in top.options and top.options[o.long].help == o.help)]
        check.option_items(where, items, own, names(sub.options.values()))

    if check.faults:
        print(f"{page_path} has drifted from {binary} --help:", file=sys.stderr)
        for fault in check.faults:
            print("  " + fault, file=sys.stderr)
        return 1
    print(f"man page matches --help: {len(top.commands)} commands, "
          f"{len(top.options)} global options")
    return 0


if __name__ == "__main__":
    sys.exit(main())
