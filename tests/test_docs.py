"""The notes under docs/ cite the tests that prove what they say: every test they name exists."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = sorted((ROOT / "docs").glob("*.md"))


def citations(text):
    """(file, test) pairs: `tests/x.py::name`, a bare `::name` after it, and a C++ case
    cited as `tests/cpp/x.cpp` "its name"."""
    found, current = [], None
    for m in re.finditer(r'`(tests/[\w/]+\.py)?::(\w+)`|`(tests/cpp/\w+\.cpp)`((?: "[^"]+")?)', text):
        if m[2]:
            current = m[1] or current
            found.append((current, m[2]))
        elif m[4]:
            found.append((m[3], " ".join(m[4].strip()[1:-1].split())))
    return found


@pytest.mark.parametrize("doc", DOCS, ids=lambda p: p.name)
def test_every_cited_test_exists(doc):
    missing = []
    for file, name in citations(doc.read_text()):
        source = (ROOT / file).read_text() if file and (ROOT / file).exists() else ""
        if file.endswith(".py"):
            ok = re.search(rf"^def {name}\(", source, re.M)
        else:
            ok = f'TEST_CASE("{name}")' in source
        if not ok:
            missing.append(f"{file}::{name}")
    assert not missing, f"{doc.name} cites tests that do not exist: {missing}"
