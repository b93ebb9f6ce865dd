#!/usr/bin/env python3
"""Makes a program's manual page from its --help texts:
manpage.py HELP2MAN PROGRAM NAME VERSION INCLUDE WORKDIR OUTPUT

help2man reads the program's --help. Each command of the program (a
subcommand without subcommands of its own, found through the "Subcommands:"
lists) follows as a section with its description and options, so a command
added to the program is documented without editing anything here. The
hand-written sections (FILES, EXIT STATUS, EXAMPLES ...) come from INCLUDE.
The page is written gzip'd to OUTPUT, without a name or time stamp in the
gzip header so that the same page compresses to the same bytes.
"""
import gzip
import os
import pathlib
import re
import stat
import subprocess
import sys


def help_text(program, words):
    text = subprocess.run([program, *words, "--help"], check=True,
                          capture_output=True, text=True).stdout
    # help2man sets an option in bold up to ", "; CLI11 writes "-h,--help".
    return re.sub(r"^(  -\w),--", r"\1, --", text, flags=re.M)


def subcommands(text):
    names = []
    inside = False
    for line in text.splitlines():
        if line == "Subcommands:":
            inside = True
        elif inside and line.startswith("  ") and line[2:3] != " ":
            names.append(line.split()[0])
        elif inside and not line.startswith(" "):
            inside = False
    return names


def command_sections(program, name, words):
    """The section of each command under `words`: "<name> <words>:", its
    description (the first line of its help), its options but --help."""
    text = help_text(program, words)
    below = subcommands(text)
    if below:
        return "".join(command_sections(program, name, words + [sub])
                       for sub in below)
    lines = text.splitlines()
    options = [l for l in lines
               if l.startswith("  ") and not l.startswith("  -h, --help")]
    section = "\n%s %s:\n  %s\n" % (name, " ".join(words), lines[0])
    if options:
        # After a blank line: help2man would run them into the description.
        section += "\n" + "\n".join(options) + "\n"
    return section


def main():
    help2man, program, name, version, include, work, output = sys.argv[1:]
    work = pathlib.Path(work)
    work.mkdir(parents=True, exist_ok=True)
    main_help = help_text(program, [])
    pages = "".join(command_sections(program, name, [sub])
                    for sub in subcommands(main_help))
    # The first line repeats the NAME section's summary.
    if not main_help.startswith("Usage:"):
        main_help = main_help.split("\n", 1)[1]
    (work / (name + ".help")).write_text(main_help + pages)
    # help2man runs a stand-in answering --help with the whole text and
    # --version with the version of this build: the run-time library
    # versions the program adds belong to the machine, not to the manual.
    stand_in = work / "stand-in" / name
    stand_in.parent.mkdir(exist_ok=True)
    stand_in.write_text(
        "#!/bin/sh\nif [ \"$1\" = --version ]; then echo '%s %s'; "
        "else cat '%s'; fi\n" % (name, version, work / (name + ".help")))
    stand_in.chmod(stand_in.stat().st_mode | stat.S_IXUSR)
    page = work / (name + ".1")
    subprocess.run([help2man, "--no-info", "--section=1",
                    "--include=" + include, "--output=" + str(page),
                    str(stand_in)], check=True)
    with open(page, "rb") as f, open(output, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0,
                           compresslevel=9) as out:
            out.write(f.read())


if __name__ == "__main__":
    main()
