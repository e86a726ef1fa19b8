"""Shared fixtures of the test suite."""

import importlib.util
import tarfile
import types
from pathlib import Path
from types import SimpleNamespace

import pytest

from nerit_record_console import _tar_refusals, record_console

FILTER_NAMES = ("data_filter", "tar_filter", "fully_trusted_filter", "FilterError",
                "AbsolutePathError", "OutsideDestinationError", "SpecialFileError",
                "AbsoluteLinkError", "LinkOutsideDestinationError", "LinkFallbackError")


def tarfile_without_filters(extracts):
    """tarfile as an interpreter without extraction filters has it (3.11.3 and older): no
    filter functions or errors, and an extract() that takes no filter argument."""
    legacy = types.ModuleType("tarfile")
    legacy.__dict__.update((name, value) for name, value in vars(tarfile).items()
                           if name not in FILTER_NAMES)
    trusted = {"filter": "fully_trusted"} if hasattr(tarfile, "data_filter") else {}

    class TarFile(tarfile.TarFile):
        def extract(self, member, path="", set_attrs=True, *, numeric_owner=False):
            extracts.append({"member": member, "path": path, "set_attrs": set_attrs})
            super().extract(member, path, set_attrs, numeric_owner=numeric_owner, **trusted)

    legacy.TarFile = TarFile
    legacy.open = TarFile.open
    return legacy


@pytest.fixture(params=["filters", "no filters"])
def engine_tarfile(request, monkeypatch):
    """The tarfile module the viewer sees, with or without extraction filters; `refusals` is
    where the classes of its refusals come from, `extracts` the extract() calls."""
    extracts = []
    if request.param == "no filters":
        monkeypatch.setattr(record_console, "tarfile", tarfile_without_filters(extracts))
        return SimpleNamespace(refusals=_tar_refusals, extracts=extracts, filters=False)
    if not hasattr(tarfile, "data_filter"):
        pytest.skip("this interpreter's tarfile has no extraction filters")
    real_extract = tarfile.TarFile.extract

    def recording_extract(self, member, path="", set_attrs=True, **options):
        extracts.append({"member": member, "path": path, "set_attrs": set_attrs, **options})
        return real_extract(self, member, path, set_attrs, **options)

    monkeypatch.setattr(tarfile.TarFile, "extract", recording_extract)
    return SimpleNamespace(refusals=tarfile, extracts=extracts, filters=True)


class ViewerClock(list):
    """The clock readings the viewer named its temporary directories after."""

    def left_behind(self):
        """The temporary directories named after these readings that still exist."""
        return {path for path in (Path("/tmp") / f"tmp{reading!r}" for reading in self)
                if path.exists()}


@pytest.fixture
def viewer_clock(monkeypatch):
    """Records the viewer's clock readings, so that a test finds its own temporary directories
    and not those that other processes on the machine make at the same time."""
    readings = ViewerClock()
    real_time = record_console.time.time

    def clock():
        readings.append(real_time())
        return readings[-1]

    monkeypatch.setattr(record_console, "time", SimpleNamespace(time=clock))
    return readings


def pytest_terminal_summary(terminalreporter):
    """Says why four test modules fail to import when the test-only module was not built."""
    try:
        import nerit_record_console._probe  # noqa: F401
    except ImportError:
        terminalreporter.write_line(
            "nerit_record_console._probe is not built (the tests of the native helpers import "
            "it): bash tools/test.sh builds it, as does pip install "
            "--config-settings=cmake.define.NERIT_BUILD_PROBE=ON", yellow=True)


@pytest.fixture(scope="session")
def layout_twin():
    """The plain-Python twin of the formatter (tests/layout_twin.py), the tests' oracle."""
    path = Path(__file__).resolve().with_name("layout_twin.py")
    spec = importlib.util.spec_from_file_location("layout_twin_fixture", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
