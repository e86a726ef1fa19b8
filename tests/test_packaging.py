"""What the package ships beside the engine: manual page, completions, stubs, the user's wheel,
the Debian package, the README's figures, and the checkout's set-up scripts."""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import pytest

from nerit_record_console import __version__, cli, record_console, record_layout, record_source

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "events"
ENGINE = (record_source, record_layout, record_console)


def load_tool(name):
    spec = importlib.util.spec_from_file_location(f"tool_{name}", ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


cli_docs = load_tool("cli_docs")
devenv = load_tool("devenv")


def option_strings():
    return sorted(flag for action in cli.build_parser()._actions for flag in action.option_strings)


def generate_docs(out_dir, source=ROOT / "src"):
    return subprocess.run([sys.executable, str(ROOT / "tools" / "cli_docs.py"), str(out_dir),
                           "--source", str(source)], capture_output=True, text=True)


@pytest.fixture(scope="module")
def docs(tmp_path_factory):
    out = tmp_path_factory.mktemp("docs")
    result = generate_docs(out)
    assert result.returncode == 0, result.stderr
    return {path.name: path for path in out.iterdir()}


# ---- the README ----------------------------------------------------------------------------

def test_readme_figures_are_those_of_the_sample():
    events, malformed, days, sources = 0, 0, set(), set()
    for line in SAMPLE.read_text(encoding="utf-8").splitlines():
        try:
            event = json.loads(line)
        except ValueError:
            malformed += 1
            continue
        events += 1
        days.add((event.get("ISODATE") or event["DATE"])[:10])
        sources.add(next(iter(event["MSG"])))
    words = {"three": 3, "five": 5, "six": 6, "seven": 7}
    readme = " ".join((ROOT / "README.md").read_text(encoding="utf-8").split())
    figures = re.search(r"(\d+) events over (\w+) days: .*?(\w+) sources, .*?(\d+) malformed lines",
                        readme)
    assert figures, "the README no longer describes the sample"
    stated = [int(figures[1]), words[figures[2]], words[figures[3]], int(figures[4])]
    assert stated == [events, len(days), len(sources), malformed]


# ---- manual page and completions -----------------------------------------------------------

def test_every_option_is_in_the_manual_page_and_both_completions(docs):
    page = docs["nerit-events.1"].read_text()
    bash = docs["nerit-events"].read_text()
    zsh = docs["_nerit-events"].read_text()
    for flag in option_strings():
        assert cli_docs.roff(flag) in page, flag
        assert re.search(rf"(?<![\w-]){re.escape(flag)}(?![\w-])", bash), flag
        assert re.search(rf"['}}\)*]{re.escape(flag)}[=+\-\[]", zsh), flag


def test_the_installed_documents_are_those_of_the_checkout_front(docs):
    """A build that skipped the generator, or ran it on another front, leaves stale files."""
    share = Path(sys.prefix, "share")
    installed = {"nerit-events.1": share / "man" / "man1" / "nerit-events.1",
                 "nerit-events": share / "bash-completion" / "completions" / "nerit-events",
                 "_nerit-events": share / "zsh" / "site-functions" / "_nerit-events"}
    for name, path in installed.items():
        assert path.is_file(), f"{path} is not installed"
        generated = docs[name].read_text()
        if name.endswith(".1"):  # the date line depends on SOURCE_DATE_EPOCH
            generated, text = (re.sub(r'^\.TH .*\n', "", t) for t in (generated, path.read_text()))
        else:
            text = path.read_text()
        assert text == generated, name


@pytest.mark.skipif(not shutil.which("groff"), reason="groff is not installed")
def test_manual_page_renders_without_a_warning(docs):
    result = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8", str(docs["nerit-events.1"])],
                            capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "")


def test_roff_escapes_what_roff_would_read_as_markup():
    assert cli_docs.roff(".hidden -x a\\b") == "\\&.hidden \\-x a\\eb"
    assert cli_docs.roff("'quoted") == "\\&'quoted"


def test_the_parser_is_documented_without_the_engine(tmp_path):
    """The build writes the documents before the engine exists: a front that imports it while
    building its parser must stop the build with a clear line, not document an older front."""
    package = tmp_path / "nerit_record_console"
    shutil.copytree(ROOT / "src" / "nerit_record_console", package,
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    cli_text = (package / "cli.py").read_text()
    engine_import = "def build_parser():\n    from nerit_record_console import record_source"
    (package / "cli.py").write_text(cli_text.replace("def build_parser():", engine_import, 1))
    result = generate_docs(tmp_path / "out", source=tmp_path)
    assert result.returncode == 1
    assert result.stderr.strip().splitlines() == [
        "cli_docs.py: building the command-line parser imported the engine "
        "(nerit_record_console.record_source); nerit_record_console.cli must import it only when "
        "it runs"]


def complete_in_bash(script, words):
    """The candidates the bash completion offers with the cursor at the end of WORDS."""
    program = (f"source {script}\ncd {SAMPLE.parent}\n"
               f"COMP_WORDS=({' '.join(repr(word) for word in words)})\n"
               f"COMP_CWORD={len(words) - 1}\n_nerit_events\nprintf '%s\\n' \"${{COMPREPLY[@]}}\"")
    result = subprocess.run(["bash", "--norc", "--noprofile", "-c", program],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return sorted(filter(None, result.stdout.split("\n")))


@pytest.mark.parametrize("words, expected", [
    (["nerit-events", "--col"], ["--color"]),
    (["nerit-events", "--color", ""], ["always", "auto", "never"]),
    (["nerit-events", "--color", "=", "a"], ["always", "auto"]),
    (["nerit-events", "--color", "="], ["always", "auto", "never"]),
    (["nerit-events", "-w", "ev"], ["events"]),
    (["nerit-events", "-a", "make"], ["make_sample.py"]),
    (["nerit-events", "-S", ""], []),
    (["nerit-events", "--install-catalogue", "--ver"], ["--version"]),
])
def test_bash_completion_offers(docs, words, expected):
    assert complete_in_bash(docs["nerit-events"], words) == expected


@pytest.mark.skipif(not (shutil.which("zsh") and shutil.which("tmux")), reason="needs zsh and tmux")
def test_zsh_completion_offers_options_and_values(docs, tmp_path):
    (tmp_path / ".zshrc").write_text(f"PS1='> '\nfpath=({docs['_nerit-events'].parent} $fpath)\n"
                                     "autoload -U compinit && compinit -u -D\n")
    session = f"nerit-zsh-{os.getpid()}"
    environment = f"env -i TERM=xterm PATH=/usr/bin:/bin ZDOTDIR={tmp_path} zsh -i"
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "150", "-y", "40",
                    environment], check=True)
    try:
        def screen_after(*keys, wanted):
            subprocess.run(["tmux", "send-keys", "-t", session, *keys], check=True)
            for _ in range(50):
                time.sleep(0.1)
                screen = subprocess.run(["tmux", "capture-pane", "-p", "-t", session],
                                        capture_output=True, text=True).stdout
                if wanted in screen:
                    return screen
            return screen

        assert "> nerit-events --color=" in screen_after("nerit-events --colo", "Tab",
                                                          wanted="--color=")
        screen = screen_after("Tab", wanted="never")
        assert re.search(r"always\s+auto\s+never", screen), screen
        screen = screen_after("C-u", "nerit-events --a", "Tab", wanted="--all")
        assert "--all" in screen and "--color" not in screen, screen
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session])


# ---- stubs and documentation strings -------------------------------------------------------

def public_names(module):
    return {name for name, value in vars(module).items() if not name.startswith("_")
            and getattr(value, "__module__", None) == module.__name__}


@pytest.mark.parametrize("module", ENGINE, ids=lambda module: module.__name__.split(".")[-1])
def test_stub_declares_exactly_the_public_classes(module):
    stub = Path(module.__file__).with_name(module.__name__.split(".")[-1] + ".pyi")
    # Top level, or inside an "if sys.version_info" block.
    declared = set(re.findall(r"^(?:    )?class (\w+)", stub.read_text(), re.M))
    assert {name for name in declared if not name.startswith("_")} == public_names(module)
    assert Path(module.__file__).with_name("py.typed").is_file()


def test_stubs_agree_with_the_modules(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest",
                             *(module.__name__ for module in ENGINE)],
                            capture_output=True, text=True, cwd=tmp_path)  # its cache goes there
    assert result.returncode == 0, result.stdout + result.stderr


def documented_callables():
    for module in ENGINE:
        yield module.__name__, module
        for name in sorted(public_names(module)):
            cls = getattr(module, name)
            for attribute, value in vars(cls).items():
                if callable(value) and not (attribute.startswith("__") and attribute != "__init__"):
                    yield f"{cls.__name__}.{attribute}", value


@pytest.mark.parametrize("name, value", list(documented_callables()),
                         ids=[name for name, _ in documented_callables()])
def test_help_shows_a_documentation_string(name, value):
    assert (value.__doc__ or "").strip(), f"help({name}) shows no documentation"


# ---- the wheel a user installs -------------------------------------------------------------

@pytest.fixture(scope="module")
def user_wheel(tmp_path_factory):
    """A wheel built as `pip install .` builds it: default options, nothing of the tests."""
    out = tmp_path_factory.mktemp("wheel")
    build_dir, isolation = out / "build", []
    if importlib.util.find_spec("scikit_build_core") is not None:
        # Built by this environment's own backend, the build tree can be kept between runs
        # beside the set-up scripts' ones, so that only what changed is compiled again.
        isolation = ["--no-build-isolation"]
        build_dir = ROOT / "build" / f"user-wheel-{Path(sys.prefix).name}"
    result = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", *isolation,
         f"--config-settings=build-dir={build_dir}", "--wheel-dir", str(out), str(ROOT)],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    [wheel] = out.glob("*.whl")
    with zipfile.ZipFile(wheel) as archive:
        return archive.namelist()


def test_user_wheel_ships_the_package_documents_and_completions(user_wheel):
    data = "nerit_record_console-1.0.0.data/data/share/"
    for wanted in [data + "man/man1/nerit-events.1",
                   data + "bash-completion/completions/nerit-events",
                   data + "zsh/site-functions/_nerit-events",
                   "nerit_record_console/py.typed",
                   "nerit_record_console/locale/ru/LC_MESSAGES/nerit_record_console.mo",
                   *(f"nerit_record_console/{module.__name__.split('.')[-1]}.pyi"
                     for module in ENGINE)]:
        assert wanted in user_wheel
    modules = {Path(name).name.split(".")[0] for name in user_wheel if name.endswith(".so")}
    assert modules == {"record_source", "record_layout", "record_console"}


# ---- the Debian package --------------------------------------------------------------------

def debian_package_skip_reason():
    if os.path.realpath(getattr(sys, "_base_executable", sys.executable)) != \
            os.path.realpath("/usr/bin/python3"):
        return "the Debian package is built and checked in the run on the system's /usr/bin/python3"
    if not shutil.which("dpkg-buildpackage"):
        return "dpkg-buildpackage is missing (apt-get install dpkg-dev debhelper dh-python)"
    unmet = subprocess.run(["dpkg-checkbuilddeps"], cwd=ROOT, capture_output=True, text=True)
    if unmet.returncode != 0:
        return unmet.stderr.strip().splitlines()[-1]
    return None


@pytest.fixture(scope="module")
def debian_package(tmp_path_factory):
    reason = debian_package_skip_reason()
    if reason:
        pytest.skip(reason)
    out = tmp_path_factory.mktemp("deb")
    result = subprocess.run(["bash", str(ROOT / "tools" / "build-deb.sh"), str(out)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    [deb] = out.glob("nerit-events_*.deb")
    root = out / "root"
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    return deb, root


def test_debian_package_holds_the_files_of_a_system_install(debian_package):
    deb, root = debian_package
    listing = subprocess.run(["dpkg-deb", "-c", str(deb)], capture_output=True, text=True,
                             check=True).stdout
    paths = {line.split()[5].lstrip(".") for line in listing.splitlines()}
    package = "/usr/lib/python3/dist-packages/nerit_record_console"
    for wanted in ["/usr/bin/nerit-events", f"{package}/cli.py", f"{package}/py.typed",
                   f"{package}/record_console.pyi", "/usr/share/man/man1/nerit-events.1.gz",
                   "/usr/share/bash-completion/completions/nerit-events",
                   "/usr/share/zsh/vendor-completions/_nerit-events",
                   "/usr/share/locale/ru/LC_MESSAGES/nerit_record_console.mo"]:
        assert wanted in paths
    modules = {Path(p).name.split(".")[0] for p in paths if p.endswith(".so")}
    assert modules == {"record_source", "record_layout", "record_console"}
    assert {path for path in paths if not path.startswith("/usr/")} == {"/"}


def test_debian_package_depends_only_on_debian_packages(debian_package):
    deb, _ = debian_package
    depends = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], capture_output=True,
                             text=True, check=True).stdout
    names = {re.split(r"[\s(:]", part.strip())[0] for part in depends.split(",")}
    assert "python3-dateutil" in names
    for name in names:
        known = subprocess.run(["apt-cache", "show", name], capture_output=True)
        assert known.returncode == 0, f"{name} is not a Debian package"


def test_debian_package_shows_the_sample_like_the_wheel(debian_package):
    _, root = debian_package
    environment = {"PATH": "/usr/bin:/bin", "LANGUAGE": "en", "LC_ALL": "C.UTF-8",
                   "PYTHONPATH": str(root / "usr/lib/python3/dist-packages")}
    arguments = ["--all", "-F", "%ISODATE %PRIORITY %source %name_en", str(SAMPLE)]
    packaged = subprocess.run(["/usr/bin/python3", "-s", "-B", str(root / "usr/bin/nerit-events"),
                               *arguments], capture_output=True, text=True, env=environment)
    assert packaged.returncode == 0, packaged.stderr
    assert packaged.stdout == cli_output(arguments)
    assert len(packaged.stdout.splitlines()) == 361


def cli_output(arguments):
    result = subprocess.run([sys.executable, "-m", "nerit_record_console", *arguments],
                            capture_output=True, text=True,
                            env={**os.environ, "LANGUAGE": "en", "LC_ALL": "C.UTF-8"})
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_debian_package_catalogue_translates_and_is_found_from_the_package(debian_package):
    import gettext
    _, root = debian_package
    shared = root / "usr/share/locale"
    russian = gettext.translation("nerit_record_console", str(shared), ["ru"])
    assert russian.gettext("No such file") != "No such file"
    linked = root / "usr/lib/python3/dist-packages/nerit_record_console/locale"
    assert gettext.find("nerit_record_console", str(linked), ["ru"]) is not None


def test_debian_version_is_the_package_version():
    changelog = (ROOT / "debian" / "changelog").read_text().splitlines()[0]
    assert re.search(r"\(([^)-]+)", changelog)[1] == __version__


# ---- the checkout's set-up scripts ---------------------------------------------------------

@pytest.mark.parametrize("arguments, expected", [
    ([], [str(SAMPLE), "--all"]),
    (["-p", "err", "-m"], [str(SAMPLE), "--all", "-p", "err", "-m"]),
    (["-n", "5"], [str(SAMPLE), "-n", "5"]),
    (["-S", "2024-03-04"], [str(SAMPLE), "-S", "2024-03-04"]),
    (["my.log"], ["--all", "my.log"]),
    (["-w", "my.log", "-t"], ["-w", "my.log", "-t"]),
    (["--version"], ["--version"]),
    (["--help"], ["--help"]),
    (["--no-such-option"], ["--no-such-option"]),
    (["--install-catalogue", "/tmp/x"], ["--install-catalogue", "/tmp/x"]),
])
def test_run_command_adds_the_sample_and_all_only_where_missing(arguments, expected, capsys):
    assert devenv.viewer_arguments(arguments, cli.build_parser()) == expected
    assert capsys.readouterr() == ("", "")


def test_fingerprint_follows_build_inputs_only(tmp_path):
    for name in ("pyproject.toml", "native/core/a.cpp", "src/pkg/cli.py", "tests/test_a.py"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("first")
    first = devenv.fingerprint(tmp_path)
    (tmp_path / "tests" / "test_a.py").write_text("changed")
    (tmp_path / "src" / "pkg" / "__pycache__").mkdir()
    (tmp_path / "src" / "pkg" / "__pycache__" / "cli.cpython-311.pyc").write_text("x")
    assert devenv.fingerprint(tmp_path) == first
    (tmp_path / "native" / "core" / "a.cpp").write_text("changed")
    assert devenv.fingerprint(tmp_path) != first
    (tmp_path / "native" / "core" / "a.cpp").write_text("first")
    assert devenv.fingerprint(tmp_path) == first
    (tmp_path / "native" / "core" / "a.cpp").rename(tmp_path / "native" / "core" / "b.cpp")
    assert devenv.fingerprint(tmp_path) != first


def run_script(script, env, *arguments):
    return subprocess.run(["bash", str(ROOT / "tools" / script), *arguments], capture_output=True,
                          text=True, env={**os.environ, **env}, timeout=300)


@pytest.mark.parametrize("script", ["test.sh", "run.sh"])
def test_scripts_refuse_a_missing_interpreter_in_one_line(script, tmp_path):
    result = run_script(script, {"PYTHON": str(tmp_path / "python9"), "VENV": str(tmp_path / "v")})
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        f"tools/{script}: no working Python interpreter '{tmp_path / 'python9'}' "
        f"(set PYTHON to one, e.g. PYTHON=/usr/bin/python3)"]
    assert not (tmp_path / "v").exists()


def test_a_directory_that_is_not_our_environment_is_left_alone(tmp_path):
    (tmp_path / "v").mkdir()
    (tmp_path / "v" / "keep").write_text("mine")
    result = run_script("run.sh", {"PYTHON": sys.executable, "VENV": str(tmp_path / "v")})
    assert result.returncode == 1
    assert len(result.stderr.splitlines()) == 1
    assert "is not an environment of" in result.stderr
    assert (tmp_path / "v" / "keep").read_text() == "mine"


def test_half_made_environment_is_made_anew_and_a_failed_build_ends_in_one_line(tmp_path):
    checkout = tmp_path / "checkout"
    (checkout / "tools").mkdir(parents=True)
    for name in ("devenv.py", "devenv.sh", "run.sh"):
        shutil.copy(ROOT / "tools" / name, checkout / "tools" / name)
    for name in ("pyproject.toml", "README.md"):
        shutil.copy(ROOT / name, checkout / name)
    (checkout / "CMakeLists.txt").write_text(
        'cmake_minimum_required(VERSION 3.21)\nproject(broken NONE)\n'
        'message(FATAL_ERROR "this build is meant to fail")\n')
    venv = tmp_path / "venv"
    venv.mkdir()  # as a making of it that was cut short leaves it
    (venv / devenv.INTERPRETER_FILE).write_text("unfinished\n")
    (venv / "half-made").write_text("")
    base = os.path.realpath(getattr(sys, "_base_executable", sys.executable))
    result = subprocess.run(["bash", str(checkout / "tools" / "run.sh")], capture_output=True,
                            text=True, env={**os.environ, "PYTHON": base, "VENV": str(venv)},
                            timeout=600)
    assert result.returncode == 1
    assert "this build is meant to fail" in result.stdout + result.stderr
    assert result.stderr.splitlines()[-1] == (
        f"tools/run.sh: installing the package into {venv} failed (the lines above say why)")
    assert (venv / "bin" / "python").exists() and not (venv / "half-made").exists()
    assert not (venv / devenv.STAMP_FILE).exists()
