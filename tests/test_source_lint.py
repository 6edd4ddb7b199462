# House rules of the C++ sources that a compiler does not check.
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "vantor" / "common"
MODULE_SOURCES = sorted(p for d in ("stat", "executors") for p in (SRC / d).glob("*.[ch]pp"))

pytestmark = pytest.mark.skipif(not MODULE_SOURCES, reason="the C++ sources are not beside the tests")


@pytest.mark.parametrize("path", MODULE_SOURCES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_module_code_leaves_reference_counting_to_the_handles(path):
    # Raw increments and decrements belong in support/ (Ref) and in traverse/clear/free;
    # module code that needs one has an ownership bug waiting to happen.
    offenders = [
        f"{path.name}:{number}: {line.strip()}"
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if re.search(r"\bPy_(X?DECREF|X?INCREF|SETREF|XSETREF)\b", line)
    ]
    assert offenders == []


@pytest.mark.parametrize("path", MODULE_SOURCES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_entry_points_do_not_let_cpp_exceptions_escape(path):
    # Every function the interpreter calls is noexcept and wraps its body with boundary().
    text = path.read_text()
    for match in re.finditer(r"\n(?:PyObject\*|int) (\w+)\(PyObject\* \w+[^)]*\) noexcept \{\n(.*?)\n\}", text, re.S):
        assert "boundary(" in match.group(2), match.group(1)
