"""The source tree's layering: data flows one way. decode knows nothing of the others, link
calls down into decode, client uses link, and only the binding touches CPython."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
BELOW = {"decode": {"decode"}, "link": {"link", "decode"}, "client": {"client", "link", "decode"},
         "python": {"python", "client", "link", "decode"}}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


@pytest.mark.skipif(not SRC.is_dir(), reason="no source tree beside the tests")
def test_includes_only_point_down():
    wrong = []
    for path in sorted(SRC.rglob("*.[ch]pp")):
        folder = path.parent.name if path.parent != SRC else "python"  # the module root binds too
        for header in INCLUDE.findall(path.read_text()):
            top = header.split("/")[0]
            if (top in BELOW and top not in BELOW[folder]) or (header == "Python.h" and folder != "python"):
                wrong.append(f"{path.relative_to(SRC)} includes {header}")
    assert wrong == []
