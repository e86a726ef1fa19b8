"""Shared fixtures of the test suite."""


def pytest_terminal_summary(terminalreporter):
    """Says why four test modules fail to import when the test-only module was not built."""
    try:
        import nerit_record_console._probe  # noqa: F401
    except ImportError:
        terminalreporter.write_line(
            "nerit_record_console._probe is not built (the tests of the native helpers import "
            "it): bash tools/test.sh builds it, as does pip install "
            "--config-settings=cmake.define.NERIT_BUILD_PROBE=ON", yellow=True)
