from shared_data import REASON, SHARED_DATA


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
