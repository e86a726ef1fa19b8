"""Writes the manual page and the bash and zsh completions of nerit-events from its argument parser.

    python tools/cli_docs.py OUT_DIR [--source SRC_DIR]

writes OUT_DIR/nerit-events.1, OUT_DIR/nerit-events (bash) and OUT_DIR/_nerit-events (zsh).
The parser comes from SRC_DIR (default: src beside this file) with the compiled engine kept out:
a front that needs the engine to build its parser fails here, at build time, and never
documents an older front installed elsewhere.
"""

import argparse
import importlib.abc
import os
import re
import sys
import time
from dataclasses import dataclass
from pathlib import Path

PACKAGE = "nerit_record_console"
ENGINE_MODULES = ("record_source", "record_layout", "record_console", "_probe")


class EngineBlocker(importlib.abc.MetaPathFinder):
    """Refuses the compiled modules while the parser is imported."""

    def find_spec(self, fullname, path=None, target=None):
        if fullname.startswith(PACKAGE + ".") and fullname.split(".")[-1] in ENGINE_MODULES:
            raise ImportError(f"building the command-line parser imported the engine ({fullname}); "
                              f"{PACKAGE}.cli must import it only when it runs")
        return None


def load_cli(source_dir):
    """The front's cli module from SOURCE_DIR, imported without the engine."""
    source_dir = Path(source_dir).resolve()
    sys.path.insert(0, str(source_dir))
    sys.meta_path.insert(0, EngineBlocker())
    for name in [name for name in sys.modules if name == PACKAGE or name.startswith(PACKAGE + ".")]:
        del sys.modules[name]
    import importlib
    cli = importlib.import_module(PACKAGE + ".cli")
    if not Path(cli.__file__).resolve().is_relative_to(source_dir):
        raise ImportError(f"{PACKAGE}.cli came from {cli.__file__}, not from {source_dir}")
    return cli


@dataclass
class Option:
    """One argument of the parser as the documents need it."""
    flags: list          # option strings; empty for a positional argument
    metavar: str         # the value's name; "" when the option takes no value
    value_optional: bool  # the value may be left out (nargs "?")
    choices: list        # the accepted values, or empty
    help: str            # help text with %(...)s expanded
    ends_command: bool   # --help and --version: nothing else is read after them
    repeatable: bool     # may be given more than once (-p err -p crit)
    dest: str            # the attribute the parser sets

    @property
    def value_name(self):
        """The value's name for a prompt: COLOR rather than {auto,always,never}."""
        return self.metavar if not self.metavar.startswith("{") else self.dest.upper()

    @property
    def completes(self):
        """What a shell offers for the value: "choices", "file", "dir" or "" (free text)."""
        if self.choices:
            return "choices"
        words = set(re.findall(r"[A-Z]+", self.metavar))
        if "DIR" in words or "DIRECTORY" in words:
            return "dir"
        if "FILE" in words or "PATH" in words or "ARCHIVE" in words:
            return "file"
        return ""


@dataclass
class Section:
    title: str
    options: list


def describe(parser):
    """The parser's argument groups, in --help order, without suppressed arguments."""
    formatter = parser._get_formatter()
    sections = []
    for group in parser._action_groups:
        options = []
        for action in group._group_actions:
            if action.help == argparse.SUPPRESS:
                continue
            takes_value = action.nargs != 0
            metavar = ""
            if takes_value:
                default = action.dest.upper() if action.option_strings else action.dest
                metavar = formatter._metavar_formatter(action, default)(1)[0]
            options.append(Option(
                flags=list(action.option_strings), metavar=metavar,
                value_optional=action.nargs == argparse.OPTIONAL,
                choices=[str(choice) for choice in action.choices or ()],
                help=" ".join(formatter._expand_help(action).split()) if action.help else "",
                ends_command=isinstance(action, (argparse._HelpAction, argparse._VersionAction)),
                repeatable=isinstance(action, (argparse._AppendAction, argparse._CountAction)),
                dest=action.dest))
        if options:
            sections.append(Section(group.title, options))
    return sections


# ---- manual page -------------------------------------------------------------------------------

def roff(text):
    """Text safe in a roff line: backslashes, minus signs and a leading control character."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def roff_invocation(option):
    parts = []
    for flag in option.flags:
        part = f"\\fB{roff(flag)}\\fR"
        if option.metavar:
            value = f"\\fI{roff(option.metavar)}\\fR"
            part += f"[={value}]" if option.value_optional else f" {value}"
        parts.append(part)
    return ", ".join(parts) or f"\\fI{roff(option.metavar)}\\fR"


def epilog_sections(epilog):
    """The epilog as (title, paragraphs): a paragraph whose first line is a short heading ending
    in ":" is a section of that name; the other paragraphs are gathered under NOTES."""
    sections, notes = [], None
    for paragraph in re.split(r"\n\s*\n", (epilog or "").strip("\n")):
        lines = paragraph.rstrip().splitlines()
        heading = lines[0].strip() if lines else ""
        if heading.endswith(":") and not lines[0].startswith(" ") and len(heading.split()) <= 4:
            sections.append((heading[:-1].upper(), [lines[1:]] if lines[1:] else []))
        elif lines:
            if notes is None:
                notes = ("NOTES", [])
                sections.append(notes)
            notes[1].append(lines)
    return [(title, paragraphs) for title, paragraphs in sections if paragraphs]


def roff_paragraph(lines, verbatim):
    """A paragraph, kept line for line when VERBATIM (the epilog is laid out by hand)."""
    if verbatim:
        return [".PP", ".nf", *(roff(line) for line in lines), ".fi"]
    return [".PP", roff(" ".join(line.strip() for line in lines))]


def manual_page(cli, parser, date):
    prog = parser.prog
    version = sys.modules[PACKAGE].__version__
    sections = describe(parser)
    # The NAME line is the description's first sentence up to any parenthesis.
    summary = re.split(r"\.\s|\s\(", (parser.description or "") + " (")[0].rstrip(".")
    positionals = positional_arguments(sections)
    out = [f'.TH {roff(prog.upper())} 1 "{date}" "{roff(prog)} {version}" "User Commands"',
           ".SH NAME", f"{roff(prog)} \\- {roff(summary[:1].lower() + summary[1:])}",
           ".SH SYNOPSIS", f".B {roff(prog)}",
           " ".join(["[\\fIOPTION\\fR]...",
                     *(f"[\\fI{roff(p.metavar)}\\fR]" for p in positionals)])]
    if parser.description:
        out += [".SH DESCRIPTION", *roff_paragraph([parser.description], verbatim=False)]
    for section in sections:
        title = section.title or "options"
        title = {"positional arguments": "ARGUMENTS", "options": "OPTIONS"}.get(title, title)
        out.append(f".SH {roff(title.upper())}" if title.isupper() else f".SS {roff(title)}")
        for option in section.options:
            out += [".TP", roff_invocation(option)] + ([roff(option.help)] if option.help else [])
    for title, paragraphs in epilog_sections(parser.epilog):
        out.append(f".SH {roff(title)}")
        for lines in paragraphs:
            out += roff_paragraph(lines, verbatim=True)
    default_file = getattr(cli, "DEFAULT_EVENT_FILE", None)
    if default_file:
        out += [".SH FILES", ".TP", f"\\fI{roff(default_file)}\\fR",
                "the event log read when no file is given"]
    return "\n".join(out) + "\n"


def group_options(sections):
    """The options of every group, the positional arguments left out."""
    return [option for section in sections for option in section.options if option.flags]


def positional_arguments(sections):
    return [option for section in sections for option in section.options if not option.flags]


# ---- bash --------------------------------------------------------------------------------------

def bash_words(words):
    return " ".join(words).replace("'", "'\\''")


def bash_completion(parser):
    prog = parser.prog
    function = "_" + re.sub(r"\W", "_", prog)
    sections = describe(parser)
    options = group_options(sections)
    positionals = positional_arguments(sections)
    lines = [f"# bash completion for {prog}, generated from its argument parser.",
             f"{function}()", "{",
             "    local cur=${COMP_WORDS[COMP_CWORD]} prev=",
             "    (( COMP_CWORD > 0 )) && prev=${COMP_WORDS[COMP_CWORD-1]}",
             "    # --option=value arrives as three words when '=' breaks words",
             '    if [[ $cur == "=" ]]; then cur=; prev=${COMP_WORDS[COMP_CWORD-1]}',
             '    elif [[ $prev == "=" ]] && (( COMP_CWORD > 1 )); then',
             "        prev=${COMP_WORDS[COMP_CWORD-2]}",
             "    fi",
             '    case "$prev" in']
    for option in options:
        if not option.metavar:
            continue
        patterns = "|".join(option.flags)
        kind = option.completes
        offer = "mapfile -t COMPREPLY < <(compgen {} -- \"$cur\")"
        if kind == "choices":
            action = offer.format(f"-W '{bash_words(option.choices)}'")
        elif kind in ("dir", "file"):
            action = "compopt -o filenames 2>/dev/null; " + offer.format(f"-{kind[0]}")
        else:
            action = "COMPREPLY=()"
        if option.value_optional:
            # The value may be left out: an option word is the next option, not the value.
            lines.append(f'        {patterns}) [[ $cur != -* ]] && {{ {action}; return 0; }} ;;')
        else:
            lines.append(f"        {patterns}) {action}; return 0 ;;")
    all_flags = [flag for option in options for flag in option.flags]
    lines += ["    esac",
              '    if [[ $cur == -* ]]; then',
              f"        mapfile -t COMPREPLY < <(compgen -W '{bash_words(all_flags)}' -- \"$cur\")",
              "        return 0",
              "    fi"]
    if positionals:
        lines += ['    compopt -o filenames 2>/dev/null',
                  '    mapfile -t COMPREPLY < <(compgen -f -- "$cur")']
    lines += ["}", f"complete -F {function} {prog}"]
    return "\n".join(lines) + "\n"


# ---- zsh ---------------------------------------------------------------------------------------

def zsh_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def zsh_description(text):
    return re.sub(r"([\[\]\\:])", r"\\\1", text)


def zsh_action(option):
    kind = option.completes
    name = re.sub(r"([:\\])", r"\\\1", option.value_name)
    if kind == "choices":
        choices = " ".join(re.sub(r"([ ()\\])", r"\\\1", choice) for choice in option.choices)
        return f"{name}:({choices})"
    return f"{name}:" + {"file": "_files", "dir": "_files -/"}.get(kind, " ")


def zsh_completion(parser):
    prog = parser.prog
    sections = describe(parser)
    specs = []
    for option in group_options(sections):
        if option.ends_command:
            exclusion = "(- *)"
        elif option.repeatable:
            exclusion = "*"
        else:
            exclusion = f"({' '.join(option.flags)})" if len(option.flags) > 1 else ""
        description = f"[{zsh_description(option.help)}]"
        value = ""
        if option.metavar:
            value = (":" if option.value_optional else "") + ":" + zsh_action(option)
        for flag in option.flags:
            form = flag
            if option.metavar:
                form += ("=" if flag.startswith("--") else "+") if not option.value_optional \
                    else ("=-" if flag.startswith("--") else "-")
            specs.append(zsh_quote(f"{exclusion}{form}{description}{value}"))
    for number, option in enumerate(positional_arguments(sections), 1):
        optional = ":" if option.value_optional else ""
        specs.append(zsh_quote(f"{number}:{optional}{zsh_action(option)}"))
    body = " \\\n  ".join(specs)
    return (f"#compdef {prog}\n# zsh completion for {prog}, generated from its argument parser.\n"
            f"_arguments -s -S \\\n  {body}\n")


# ---- writing -----------------------------------------------------------------------------------

def build_date():
    """The release date for the page: SOURCE_DATE_EPOCH when set, for reproducible builds."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    return time.strftime("%Y-%m-%d", time.gmtime(int(epoch))) if epoch else ""


def write_all(out_dir, source_dir):
    cli = load_cli(source_dir)
    parser = cli.build_parser()
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    files = {f"{parser.prog}.1": manual_page(cli, parser, build_date()),
             parser.prog: bash_completion(parser),
             f"_{parser.prog}": zsh_completion(parser)}
    for name, text in files.items():
        (out_dir / name).write_text(text, encoding="utf-8")
    return [out_dir / name for name in files]


def main(argv=None):
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("out_dir")
    arguments.add_argument("--source", default=str(Path(__file__).resolve().parent.parent / "src"))
    options = arguments.parse_args(argv)
    try:
        write_all(options.out_dir, options.source)
    except (ImportError, OSError) as error:
        print(f"cli_docs.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
