"""Keeps a virtual environment of this checkout up to date and runs nerit-events or the tests in it.

    python3 tools/devenv.py run [NERIT-EVENTS ARGUMENTS]    (what tools/run.sh calls)
    python3 tools/devenv.py test [PYTEST ARGUMENTS]         (what tools/test.sh calls)

The interpreter that runs this file makes the environment: .venv in the checkout, or
.venv-X.Y.Z when PYTHON names another interpreter, or the directory VENV names. The package is
built into it only when its sources changed since the last install (or the environment lacks
what the command needs); the build tree under build/ is kept, so a rebuild compiles only what
changed. Nothing is installed outside the environment.
"""

import fcntl
import hashlib
import json
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "events"
# What the wheel is built from; a change anywhere here calls for a new install.
BUILD_INPUTS = ("pyproject.toml", "CMakeLists.txt", "README.md", "native", "src", "po", "tools")
SKIPPED_PARTS = {"__pycache__", ".pytest_cache"}
SKIPPED_SUFFIXES = {".pyc", ".so", ".o"}
INTERPRETER_FILE = ".nerit-interpreter"  # who made the environment: the mark that it is ours
STAMP_FILE = ".nerit-installed"          # what was installed into it, written after success
# The options that choose which events are shown; without one, the run command shows them all.
SELECTION_DESTS = ("since", "until", "days_back", "today", "all", "count")


class SetupError(Exception):
    """A reason the environment cannot be set up, said in one line."""


def interpreter_identity(python=None):
    """What tells interpreters apart: implementation, version and the real base executable."""
    code = ("import os, platform, sys; print(platform.python_implementation(), "
            "platform.python_version(), os.path.realpath(getattr(sys, '_base_executable', "
            "sys.executable)))")
    if python is None:
        return (f"{platform.python_implementation()} {platform.python_version()} "
                f"{os.path.realpath(getattr(sys, '_base_executable', sys.executable))}")
    try:
        result = subprocess.run([str(python), "-c", code], capture_output=True, text=True)
    except OSError:
        return None
    return result.stdout.strip() if result.returncode == 0 else None


def default_venv(environ):
    if environ.get("VENV"):
        return Path(environ["VENV"]).absolute()
    if environ.get("PYTHON"):
        return ROOT / f".venv-{platform.python_version()}"
    return ROOT / ".venv"


def venv_python(venv):
    return venv / "bin" / "python"


def fingerprint(root=ROOT, inputs=BUILD_INPUTS):
    """A digest of every build input's path and content, and of where the checkout is."""
    digest = hashlib.sha256(str(root).encode())
    files = []
    for name in inputs:
        path = root / name
        if path.is_file():
            files.append(path)
        elif path.is_dir():
            files += [p for p in path.rglob("*") if p.is_file()
                      and not SKIPPED_PARTS.intersection(p.relative_to(root).parts)
                      and p.suffix not in SKIPPED_SUFFIXES]
    for path in sorted(files):
        digest.update(b"\0" + str(path.relative_to(root)).encode() + b"\0")
        digest.update(path.read_bytes())
    return digest.hexdigest()


def read_stamp(venv):
    try:
        return json.loads((venv / STAMP_FILE).read_text())
    except (OSError, ValueError):
        return {}


def is_current(venv, wanted):
    """True when the last install matches WANTED and its modules still load."""
    stamp = read_stamp(venv)
    if stamp.get("fingerprint") != wanted["fingerprint"]:
        return False
    if wanted["probe"] and not stamp.get("probe"):
        return False
    if not set(wanted["extras"]) <= set(stamp.get("extras", [])):
        return False
    modules = ["nerit_record_console.record_console"]
    if wanted["probe"]:
        modules.append("nerit_record_console._probe")
    if "test" in wanted["extras"]:
        modules.append("pytest")
    check = subprocess.run([str(venv_python(venv)), "-c", "import " + ", ".join(modules)],
                           capture_output=True)
    return check.returncode == 0


def check_build_tools():
    """The Debian packages a first build needs, each named when it is missing."""
    missing = []
    include = sysconfig.get_path("include")
    if not include or not Path(include, "Python.h").is_file():
        missing.append(f"the Python headers ({include}/Python.h; Debian: python3-dev)")
    compiler = os.environ.get("CXX", "").split()[:1] or ["c++"]
    if not shutil.which(compiler[0]) and not shutil.which("g++"):
        missing.append("a C++20 compiler (Debian: g++)")
    if missing:
        raise SetupError("cannot build the package: missing " + " and ".join(missing))


def make_venv(venv, say):
    """Creates VENV from this interpreter, or makes it anew when it is ours but was made by
    another interpreter, or its making was cut short, or its interpreter no longer runs."""
    identity = interpreter_identity()
    marker = venv / INTERPRETER_FILE
    if venv.exists():
        if not marker.is_file():
            raise SetupError(f"{venv} exists but is not an environment of {identity.split()[-1]} "
                             f"made by this tool; remove it or set VENV to another directory")
        if marker.read_text().strip() == identity == interpreter_identity(venv_python(venv)):
            return False
        say(f"{venv.name} was made by another interpreter or is broken; making it anew")
        shutil.rmtree(venv)
    try:
        import ensurepip  # noqa: F401  (Debian keeps it in python3-venv)
    except ImportError:
        raise SetupError(f"{sys.executable} cannot make a virtual environment with pip: "
                         f"install python3-venv") from None
    say(f"making {venv.name} with {sys.executable} ({platform.python_version()})")
    venv.mkdir(parents=True)
    marker.write_text("unfinished\n")  # ours from now on, and made anew if this is cut short
    made = subprocess.run([sys.executable, "-m", "venv", str(venv)], capture_output=True, text=True)
    if made.returncode != 0:
        shutil.rmtree(venv, ignore_errors=True)
        last = (made.stderr or made.stdout).strip().splitlines()[-1:] or ["no output"]
        raise SetupError(f"making {venv} failed: {last[0]}")
    marker.write_text(identity + "\n")
    return True


def build_requirements():
    import tomllib
    try:
        with open(ROOT / "pyproject.toml", "rb") as file:
            return tomllib.load(file)["build-system"]["requires"]
    except (ValueError, KeyError) as error:
        raise SetupError(f"{ROOT / 'pyproject.toml'} names no build requirements: "
                         f"{error}") from None


def pip(venv, *arguments):
    return subprocess.run([str(venv_python(venv)), "-m", "pip", "--disable-pip-version-check",
                           "--quiet", "install", *arguments], cwd=ROOT).returncode == 0


def install(venv, wanted, build_dir, say):
    check_build_tools()
    (venv / STAMP_FILE).unlink(missing_ok=True)
    say(f"installing the package into {venv.name} (a first build takes a minute or two)")
    if not pip(venv, *build_requirements()):
        raise SetupError(f"installing the build requirements into {venv} failed")
    # The build backend names what it needs beyond that, e.g. CMake when the system has none.
    hook = subprocess.run(
        [str(venv_python(venv)), "-c", "from scikit_build_core.build import "
         "get_requires_for_build_wheel as needs; print('\\n'.join(needs()))"],
        cwd=ROOT, capture_output=True, text=True)
    extra = hook.stdout.split() if hook.returncode == 0 else []
    if extra and not pip(venv, *extra):
        raise SetupError(f"installing {' '.join(extra)} into {venv} failed")
    target = "." + (f"[{','.join(wanted['extras'])}]" if wanted["extras"] else "")
    settings = [f"--config-settings=build-dir={build_dir}"]
    if wanted["probe"]:
        settings.append("--config-settings=cmake.define.NERIT_BUILD_PROBE=ON")
    if not pip(venv, "--no-build-isolation", *settings, target):
        raise SetupError(f"installing the package into {venv} failed (the lines above say why)")
    (venv / STAMP_FILE).write_text(json.dumps(wanted) + "\n")


def prepare(venv, probe, extras, say):
    """Makes VENV hold the package built from the checkout as it is now."""
    build_dir = ROOT / "build" / venv.name
    build_dir.parent.mkdir(parents=True, exist_ok=True)
    with open(build_dir.parent / f"{venv.name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one install at a time into one environment
        if make_venv(venv, say):
            # The CMake cache of the build tree names the old interpreter.
            shutil.rmtree(build_dir, ignore_errors=True)
        wanted = {"fingerprint": fingerprint(), "probe": probe, "extras": sorted(extras)}
        if not is_current(venv, wanted):
            install(venv, wanted, build_dir, say)


def viewer_arguments(arguments, parser, prepare_argv=None):
    """The arguments for nerit-events: the sample log unless a file is given, and --all unless
    the arguments choose the events; anything the parser refuses or answers (--help) unchanged."""
    class Stop(Exception):
        pass

    def stop(*args, **kwargs):
        raise Stop

    parser.exit = parser.error = stop
    parser._print_message = lambda *args, **kwargs: None
    try:
        parsed = parser.parse_args((prepare_argv or list)(arguments))
    except Stop:
        return list(arguments)
    if getattr(parsed, "install_catalogue", None) is not None:
        return list(arguments)
    added = []
    if getattr(parsed, "event_file", None) is None and getattr(parsed, "watch_file", None) is None:
        added.append(str(SAMPLE))
    if all(getattr(parsed, dest, None) in (None, False) for dest in SELECTION_DESTS):
        added.append("--all")
    return added + list(arguments)


def launch(arguments):
    """Runs nerit-events from the environment this interpreter belongs to."""
    from nerit_record_console import cli
    join_times = getattr(cli, "attach_relative_times", None)  # what main() does before parsing
    argv = viewer_arguments(arguments, cli.build_parser(), join_times)
    sys.argv[0] = "nerit-events"
    return cli.main(argv)


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    command, arguments = (argv[0], argv[1:]) if argv else ("", [])
    prog = os.environ.get("NERIT_DEVENV_PROG", f"tools/{command}.sh")
    if command == "launch":
        return launch(arguments)
    if command not in ("run", "test"):
        print(f"usage: {Path(__file__).name} run|test [ARGUMENTS]", file=sys.stderr)
        return 2

    def say(message):
        print(f"{prog}: {message}", file=sys.stderr, flush=True)

    venv = default_venv(os.environ)
    try:
        if sys.version_info < (3, 11):
            raise SetupError(f"{sys.executable} is Python {platform.python_version()}; "
                             f"the package needs 3.11 or newer (set PYTHON to another interpreter)")
        if command == "test":
            prepare(venv, probe=True, extras=["test"], say=say)
        else:
            prepare(venv, probe=False, extras=[], say=say)
    except SetupError as error:
        say(str(error))
        return 1
    except OSError as error:
        say(f"setting up {venv} failed: {error}")
        return 1
    except KeyboardInterrupt:
        say(f"interrupted; {venv} is installed anew next time")
        return 130
    python = str(venv_python(venv))
    if command == "test":
        os.chdir(ROOT)
        os.execv(python, [python, "-m", "pytest", *arguments])
    os.execv(python, [python, str(Path(__file__).resolve()), "launch", *arguments])


if __name__ == "__main__":
    sys.exit(main())
