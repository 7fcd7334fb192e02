#!/usr/bin/env python3
"""Writes the manual page of qrnauth (section 1) or qrnsecd (section 8) from
the program's own --help texts and a hand-written include file.

  manpage.py qrnauth|qrnsecd PROGRAM INCLUDE OUTPUT VERSION

The include file holds roff text under headings in brackets: "[NAME]" (the
line after "name \\-"), "[DESCRIPTION]" (put before what the help says),
"[--option]" (what a qrnsecd option does; descriptions of options the program
does not have are left out), and any other "[SECTION]", printed after the
generated sections in the order given. The page's date is SOURCE_DATE_EPOCH
when set, so a package build writes the same page every time.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_help  # noqa: E402

MAX_INCLUDE_BYTES = 256 * 1024


def esc(text):
    """Plain text as roff: backslashes and hyphens kept as typed, no line
    taken for a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line[:1] in (".", "'") else line for line in text.split("\n"))


def read_include(path):
    with open(path, "rb") as f:
        data = f.read(MAX_INCLUDE_BYTES + 1)
    if len(data) > MAX_INCLUDE_BYTES:
        raise RuntimeError("%s is over %d bytes" % (path, MAX_INCLUDE_BYTES))
    sections, order, name = {}, [], None
    for line in data.decode("utf-8").splitlines():
        if line.startswith("[") and line.rstrip().endswith("]"):
            name = line.strip()[1:-1]
            sections[name] = []
            order.append(name)
        elif name is not None:
            sections[name].append(line)
        elif line.strip() and not line.startswith(".\\\""):
            raise RuntimeError("%s: text before the first [SECTION]" % path)
    return {k: "\n".join(v).strip("\n") for k, v in sections.items()}, order


def preformatted(lines):
    return [".nf"] + [esc(line) for line in lines] + [".fi"]


def page_date():
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    return time.strftime("%Y-%m-%d", time.gmtime(int(epoch) if epoch else None))


def header(name, section, version, manual, include):
    out = ['.\\" Generated from "%s --help" by tools/docgen/manpage.py; edit the program\'s help'
           % name.lower(), '.\\" or tools/docgen/%s.%s.in, not this file.' % (name.lower(), section),
           '.TH %s %s "%s" "QRNAuth %s" "%s"' % (name, section, page_date(), version, manual),
           ".SH NAME", "%s \\- %s" % (name.lower(), include.get("NAME", ""))]
    return out


def trailer(include, order, generated):
    out = []
    for name in order:
        if name in generated or name.startswith("--"):
            continue
        out += [".SH " + name, include[name]]
    return out


def qrnauth_page(program, include, order, version):
    cli = cli_help.read_qrnauth(program)
    # The first sentence of the help names the program; the hand-written
    # description says more.
    if not include.get("NAME") and cli.description:
        first = cli.description[0].rstrip(".")
        include["NAME"] = esc(first[:1].lower() + first[1:])
    out = header("QRNAUTH", "1", version, "User Commands", include)
    out += [".SH SYNOPSIS", ".B qrnauth", esc(cli.usage.split(" ", 1)[1])]
    out += [".SH DESCRIPTION"]
    if include.get("DESCRIPTION"):
        out += [include["DESCRIPTION"]]
    if cli.description[1:]:
        out += [".PP", esc(" ".join(cli.description[1:]))]
    out += [".SH COMMANDS"]
    for command in cli.commands:
        out += [".SS \"%s\"" % esc(command.name), esc(command.summary)]
        if command.usage:
            out += [".PP"] + preformatted(["qrnauth " + u.split(" ", 1)[1] if u.startswith("qrnauth ")
                                           else u for u in command.usage])
        if command.body:
            out += [".PP"] + preformatted(command.body)
    out += [".SH GLOBAL OPTIONS"]
    for option, text in cli.global_options:
        out += [".TP", ".B " + esc(option), esc(text)]
    if cli.exit_status:
        out += [".SH EXIT STATUS", esc(cli.exit_status)]
    out += trailer(include, order, ("NAME", "DESCRIPTION", "EXIT STATUS"))
    return out


def qrnsecd_page(program, include, order, version):
    daemon = cli_help.read_qrnsecd(program)
    out = header("QRNSECD", "8", version, "System Administration", include)
    out += [".SH SYNOPSIS"]
    for i, usage in enumerate(daemon.usage):
        if i:
            out += [".br"]
        out += [".B qrnsecd", esc(usage.split(" ", 1)[1] if " " in usage else "")]
    out += [".SH DESCRIPTION"]
    if include.get("DESCRIPTION"):
        out += [include["DESCRIPTION"]]
    if daemon.body:
        out += [".PP"] + preformatted(daemon.body)
    out += [".SH OPTIONS"]
    for option, argument in daemon.options:
        out += [".TP", "\\fB%s\\fR%s" % (esc(option), " \\fI%s\\fR" % esc(argument) if argument else "")]
        out += [include.get(option, "")]
    out += trailer(include, order, ("NAME", "DESCRIPTION"))
    return out


def main(argv):
    if len(argv) != 6 or argv[1] not in ("qrnauth", "qrnsecd"):
        sys.stderr.write(__doc__)
        return 2
    _, which, program, include_path, output, version = argv
    include, order = read_include(include_path)
    make = qrnauth_page if which == "qrnauth" else qrnsecd_page
    lines = make(program, include, order, version)
    text = "\n".join(line for line in lines if line != "") + "\n"
    # Written beside and renamed, so a failed run leaves no half page behind.
    with open(output + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(output + ".tmp", output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
