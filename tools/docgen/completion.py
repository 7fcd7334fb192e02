#!/usr/bin/env python3
"""Writes the bash completion of qrnauth from its own --help texts.

  completion.py PROGRAM OUTPUT

The script knows every command (one or more words) and the options each
command's usage names, with whether an option takes a value. It completes
command words, then a command's options (and the global --trail, --help),
user names after an option whose value is a user, and file names elsewhere.
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_help  # noqa: E402

TEMPLATE = r'''# bash completion for qrnauth
# Generated from "qrnauth --help" by tools/docgen/completion.py: do not edit.

_qrnauth_commands=(
@COMMANDS@
)

# The options of a command, "-" joining its words; "=" marks an option that
# takes a value, "=user" one whose value is a user name.
_qrnauth_options() {
    case "$1" in
@OPTIONS@
    esac
}

_qrnauth() {
    local cur prev words=() i w
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev=""
    [ "$COMP_CWORD" -gt 0 ] && prev="${COMP_WORDS[COMP_CWORD-1]}"
    # The words typed before the cursor, without the program and the global
    # option --trail (accepted anywhere).
    for ((i = 1; i < COMP_CWORD; i++)); do
        w="${COMP_WORDS[i]}"
        [ "$w" = "--" ] && break
        [ "$w" = "--trail" ] && continue
        words+=("$w")
    done
    # "qrnauth help config set" names a command as the command line would.
    local asked_help=0
    if [ "${words[0]}" = "help" ]; then
        words=("${words[@]:1}")
        asked_help=1
    fi

    # The longest command whose words start the line.
    local best="" best_n=0 c n ok cw
    for c in "${_qrnauth_commands[@]}"; do
        read -r -a cw <<< "$c"
        n=${#cw[@]}
        [ "$n" -le "${#words[@]}" ] || continue
        ok=1
        for ((i = 0; i < n; i++)); do
            [ "${cw[i]}" = "${words[i]}" ] || { ok=0; break; }
        done
        if [ "$ok" = 1 ] && [ "$n" -gt "$best_n" ]; then
            best="$c"
            best_n=$n
        fi
    done

    if [ -z "$best" ]; then
        # Still in the command words: offer the next word of every command
        # that the typed words begin.
        local -a next=()
        for c in "${_qrnauth_commands[@]}"; do
            read -r -a cw <<< "$c"
            [ "${#cw[@]}" -gt "${#words[@]}" ] || continue
            ok=1
            for ((i = 0; i < ${#words[@]}; i++)); do
                [ "${cw[i]}" = "${words[i]}" ] || { ok=0; break; }
            done
            w="${cw[${#words[@]}]}"
            # "config" once, however many commands it starts.
            [ "$ok" = 1 ] && [[ " ${next[*]} " != *" $w "* ]] && next+=("$w")
        done
        if [ "${#words[@]}" -eq 0 ] && [ "$asked_help" = 0 ]; then
            next+=(--trail --help help)
        fi
        COMPREPLY=($(compgen -W "${next[*]}" -- "$cur"))
        return 0
    fi

    local spec o
    spec="$(_qrnauth_options "${best// /-}")"
    # The value of an option.
    for o in $spec; do
        if [ "${o%%=*}" = "$prev" ] && [ "${o#*=}" != "$o" ]; then
            if [ "${o#*=}" = "user" ]; then
                COMPREPLY=($(compgen -u -- "$cur"))
            else
                compopt -o filenames 2>/dev/null
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            return 0
        fi
    done
    if [[ "$cur" == -* ]]; then
        local names="--trail --help"
        for o in $spec; do names+=" ${o%%=*}"; done
        COMPREPLY=($(compgen -W "$names" -- "$cur"))
        return 0
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
    return 0
}
complete -F _qrnauth qrnauth
'''


def shell_word(text):
    if not re.fullmatch(r"[A-Za-z0-9._/=-]+", text):
        raise RuntimeError("unexpected characters in %r" % text)
    return text


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    cli = cli_help.read_qrnauth(argv[1])
    commands, cases = [], []
    for command in cli.commands:
        commands.append('    "%s"' % " ".join(shell_word(w) for w in command.words()))
        specs = []
        for option, argument in command.options:
            if not argument:
                specs.append(option)
            elif argument in ("USER", "U"):
                specs.append(option + "=user")
            else:
                specs.append(option + "=")
        if specs:
            cases.append('        %s) echo "%s" ;;' % (shell_word("-".join(command.words())),
                                                     " ".join(shell_word(s) for s in specs)))
    text = TEMPLATE.replace("@COMMANDS@", "\n".join(commands)).replace("@OPTIONS@", "\n".join(cases))
    with open(argv[2] + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(argv[2] + ".tmp", argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
