"""Reads what qrnauth and qrnsecd say about themselves.

The manual pages and the bash completion are generated from these texts at
build time, so they list exactly the commands and options the programs know.
"""
import re
import subprocess

# A help text is a few kilobytes; more means the program is not what we think.
MAX_HELP_BYTES = 1 << 20
HELP_TIMEOUT_SECONDS = 30

# "--name", then its argument when the next word is one: "--user USER",
# "--listen HOST:PORT", "--page /mvt/security.aspx", "--data=FILE".
OPTION_RE = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*)(?:[ =]([^\s\[\]|]+))?")
GLOBAL_OPTIONS = ("--trail", "--help")


def options_of(text):
    """(option, argument or "") for each option `text` names, first mention first."""
    options = []
    for match in OPTION_RE.finditer(text):
        option, argument = match.group(1), (match.group(2) or "").rstrip(".,;")
        # An argument is a placeholder in capitals (USER, HOST:PORT, FILE.reg)
        # or a path; anything else is the text going on.
        if not (re.match(r"[A-Z]", argument) or argument.startswith("/")):
            argument = ""
        if option not in GLOBAL_OPTIONS and option not in [o for o, _ in options]:
            options.append((option, argument))
    return options


def run_help(program, *words):
    """The standard output of `program words... --help`; fails on an exit other than 0."""
    done = subprocess.run([program, *words, "--help"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=HELP_TIMEOUT_SECONDS, check=False,
                          env={"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"})
    if done.returncode != 0:
        raise RuntimeError("%s %s --help exited %d: %s" % (
            program, " ".join(words), done.returncode, done.stderr.decode(errors="replace")))
    if len(done.stdout) > MAX_HELP_BYTES:
        raise RuntimeError("%s %s --help printed over %d bytes" % (program, " ".join(words),
                                                                     MAX_HELP_BYTES))
    return done.stdout.decode("utf-8", errors="replace")


def split_blocks(text):
    """Lines grouped at the headings that end with a colon ("Commands:")."""
    blocks, name = {"": []}, ""
    for line in text.splitlines():
        if re.fullmatch(r"[A-Z][A-Za-z ]*:", line):
            name = line[:-1]
            blocks[name] = []
            continue
        blocks[name].append(line)
    return blocks


class Command:
    def __init__(self, name, summary, usage, body):
        self.name = name          # "config show"
        self.summary = summary    # one line
        self.usage = usage        # the "usage:" lines, without "usage: "
        self.body = body          # the description lines after the usage
        self.options = []         # (option, argument or "") as the usage names them

    def words(self):
        return self.name.split(" ")


class Cli:
    def __init__(self):
        self.usage = ""
        self.description = []
        self.commands = []
        self.global_options = []  # (option, text)
        self.exit_status = ""


def _parse_command_help(name, summary, text):
    lines = text.splitlines()
    # "qrnauth NAME: SUMMARY", a blank line, then the usage and description;
    # the global options block closes every command's help.
    if lines and lines[0].startswith("qrnauth " + name + ":"):
        lines = lines[1:]
    if "Global options:" in lines:
        lines = lines[:lines.index("Global options:")]
    while lines and not lines[0].strip():
        lines.pop(0)
    while lines and not lines[-1].strip():
        lines.pop()
    usage, body = [], []
    for i, line in enumerate(lines):
        if line.startswith("usage: "):
            usage.append(line[len("usage: "):])
        elif usage and not body and line.startswith("       ") and line.strip():
            usage.append(line.strip())
        else:
            body = lines[i:]
            break
    while body and not body[0].strip():
        body.pop(0)
    command = Command(name, summary, usage, body)
    # The usage lines name every option a command takes; its description may
    # mention other commands' options.
    command.options = options_of(" ".join(usage))
    return command


def read_qrnauth(program):
    """The command list of `qrnauth --help` and each command's own --help."""
    cli = Cli()
    top = run_help(program)
    blocks = split_blocks(top)
    head = [line for line in blocks[""] if line.strip()]
    if not head or not head[0].startswith("usage: "):
        raise RuntimeError("qrnauth --help does not start with a usage line")
    cli.usage = head[0][len("usage: "):]
    cli.description = head[1:]
    if "Commands" not in blocks:
        raise RuntimeError("qrnauth --help lists no commands")
    listed = [line for line in blocks["Commands"] if line.startswith("  ") and line.strip()]
    for line in listed:
        # "  config show  print ..."; names are words split by one blank, the
        # summary follows after two or more.
        match = re.fullmatch(r"  (\S+(?: \S+)*?)  +(.*)", line)
        if not match:
            raise RuntimeError("cannot read the command line %r" % line)
        name, summary = match.group(1), match.group(2)
        cli.commands.append(_parse_command_help(name, summary, run_help(program, *name.split(" "))))
    for line in blocks.get("Global options", []):
        if not line.strip():
            break
        match = re.fullmatch(r"  (--\S+)\s+(.*)", line)
        if match:
            cli.global_options.append([match.group(1), match.group(2)])
        elif cli.global_options:
            cli.global_options[-1][1] += " " + line.strip()
    for line in top.splitlines():
        if line.startswith("Exit status:"):
            cli.exit_status = line[len("Exit status:"):].strip()
    return cli


class Daemon:
    def __init__(self):
        self.usage = []    # the usage lines, without "usage: "
        self.body = []     # what the help says after its usage lines
        self.options = []  # (option, argument or "")


def read_qrnsecd(program):
    """The usage of `qrnsecd --help`, its further text, and the options it names
    with their arguments."""
    daemon = Daemon()
    lines = run_help(program).splitlines()
    while lines and not lines[0].strip():
        lines.pop(0)
    if not lines or not lines[0].startswith("usage: "):
        raise RuntimeError("qrnsecd --help does not start with a usage line")
    for i, line in enumerate(lines):
        if line.startswith("usage: "):
            daemon.usage.append(line[len("usage: "):])
        elif line.startswith("  ") and line.strip():
            # A continuation: appended to the usage line it continues.
            daemon.usage[-1] += " " + line.strip()
        else:
            daemon.body = lines[i:]
            break
    while daemon.body and not daemon.body[0].strip():
        daemon.body.pop(0)
    daemon.options = options_of(" ".join(daemon.usage + daemon.body))
    return daemon
