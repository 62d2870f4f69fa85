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


def test_one_copy_of_the_wire_model():
    """The tests, the simulator and the commands share one wire model: a second copy would make
    two distinct Frame and ValidFlag classes, and isinstance checks across them fail."""
    import sys

    import helpers
    from tiltwick_tools import mip_wire, simulator

    copies = {name for name, module in sys.modules.items()
              if getattr(module, "__file__", None) and module.__file__.endswith("mip_wire.py")}
    assert copies == {"tiltwick_tools.mip_wire"}
    assert helpers.mw is mip_wire is simulator.mw
