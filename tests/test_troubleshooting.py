"""docs/troubleshooting.md against examples/mistakes.py, which reproduces
each row of its message table: every row has its cases, and every exception
and traceback line a case gives is named in its row."""
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOC = os.path.join(ROOT, "docs", "troubleshooting.md")
SCRIPT = os.path.join(ROOT, "examples", "mistakes.py")


def doc_rows():
    with open(DOC, encoding="utf-8") as doc:
        return {int(match.group(1)): line for line in doc
                for match in [re.match(r"\| (\d+) \|", line)] if match}


# Cases whose number of progress lines a row states: (row, case, lines).
STATED_PROGRESS = [
    (45, "exponential_mixture, the same list again", 1),
    (46, "exponential_mixture, float16, n=6000", 1000),
    (46, "exponential_mixture, float16, n=10000", 2),
]


@pytest.fixture(scope="module")
def output():
    run = subprocess.run([sys.executable, SCRIPT], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, cwd=ROOT, timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    return run.stdout


@pytest.fixture(scope="module")
def printed(output):
    """{row: [(exception type name, [kofa.cpp lines])]} from the script."""
    rows, row, lines = {}, None, output.splitlines()
    for i, line in enumerate(lines):
        heading = re.match(r"# row (\d+):", line)
        if heading:
            row = int(heading.group(1))
            rows[row] = []
        elif line.startswith("# "):
            row = None
        elif row is not None and i + 1 < len(lines) and lines[i + 1].startswith('   File "kofa.cpp"'):
            name = re.match(r"   (\w+): ", line)
            assert name, line
            rows[row].append((name.group(1), [int(n) for n in re.findall(r"line (\d+)", lines[i + 1])]))
    return rows


def test_every_row_has_its_cases(printed):
    assert sorted(printed) == sorted(doc_rows())


@pytest.mark.parametrize("row", sorted(doc_rows()))
def test_the_row_names_each_exception_and_line_its_cases_give(printed, row):
    text = doc_rows()[row]
    numbers = {int(n) for n in re.findall(r"\d+", text)}
    for name, kofa_lines in printed.get(row, []):
        assert name in text, (row, name)
        assert set(kofa_lines) <= numbers, (row, name, kofa_lines)


@pytest.mark.parametrize("row,case,lines", STATED_PROGRESS)
def test_the_progress_lines_a_row_states(output, row, case, lines):
    section = output.split("# row {}:".format(row))[1].split("\n# ")[0]
    assert "== {}: {} progress lines;".format(case, lines) in section, section
