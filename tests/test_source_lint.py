# House rules of the C++ sources that a compiler does not check.
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "vantor" / "common"
MODULE_SOURCES = sorted(p for d in ("stat", "executors") for p in (SRC / d).glob("*.[ch]pp"))
SUPPORT_AND_MODULE_SOURCES = MODULE_SOURCES + sorted((SRC / "support").glob("*.[ch]pp"))

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


ENTRY_POINT = re.compile(r"\n(?:PyObject\*|int) (\w+)\(PyObject\* \w+[^)]*\)( noexcept)? \{\n(.*?)\n\}", re.S)


@pytest.mark.parametrize("path", SUPPORT_AND_MODULE_SOURCES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_entry_points_let_only_the_interpreters_errors_out(path):
    # A function the interpreter calls wraps its body with boundary(), and is not noexcept: at
    # exit the interpreter may end a thread inside it by a forced unwind, which must pass.
    for match in ENTRY_POINT.finditer(path.read_text()):
        name, noexcept, body = match.groups()
        if "boundary(" in body or re.search(r"_(exec|call|hook|done|child|join|signature)$", name):
            assert "boundary(" in body and not noexcept, name
