import pytest
from shared_data import REASON, REQUIRED, SHARED_DATA


def pytest_sessionstart(session):
    if REQUIRED and not SHARED_DATA.is_dir():
        pytest.exit(f"ZEL_REQUIRE_SHARED_DATA is set but {SHARED_DATA} is not present", 1)


def pytest_terminal_summary(terminalreporter):
    skipped = [
        report
        for report in terminalreporter.stats.get("skipped", [])
        if isinstance(report.longrepr, tuple) and REASON in str(report.longrepr[2])
    ]
    if skipped:
        terminalreporter.write_line(
            f"{len(skipped)} tests need {SHARED_DATA} (beside the project), which is not "
            "present: they were skipped"
        )
