"""The module frame: contents, signatures, class properties, argument binding and
conversion errors, and the sub-interpreter refusal."""

import ast
import importlib
import inspect
import os
import struct
import sys
import time
import weakref

import pytest

from tiltwick_tools import mip_wire as mw
from helpers import NO_SUCH_DEVICE, NOT_STREAMING
import tiltwick
from tiltwick import AHRSClient, BufferedAHRSClient, parse_data_stream_py

NO_DEVICE = 'AHRSError: SerialPortError: Error { kind: Io(NotFound), description: "No such file or directory" }'
METHODS = ["open", "open_file", "configure", "start_stream", "read", "read_packet"]
NO_ARGUMENT_METHODS = ["configure", "start_stream", "read", "read_packet"]


def test_module_contents():
    assert tiltwick.__doc__ == "A Python module implemented in C++."
    assert tiltwick.__all__ == ["parse_data_stream_py", "AHRSClient", "BufferedAHRSClient"]
    assert [n for n in vars(tiltwick) if not n.startswith("__")] == tiltwick.__all__
    assert not any("InternalFailure" in n for n in dir(tiltwick))
    assert (AHRSClient.__module__, BufferedAHRSClient.__module__, parse_data_stream_py.__module__) == (
        "builtins", "builtins", "tiltwick")
    assert parse_data_stream_py.__self__ is tiltwick
    assert (AHRSClient.__name__, AHRSClient.__qualname__) == ("AHRSClient", "AHRSClient")
    assert AHRSClient.__bases__ == BufferedAHRSClient.__bases__ == (object,)


def exported_symbols(path):
    """The names a shared object exports (defined global, weak and unique symbols of .dynsym),
    read from the ELF file itself, so that it works for any architecture's build."""
    data = open(path, "rb").read()
    wide, order = data[4] == 2, "<" if data[5] == 1 else ">"
    shoff, = struct.unpack_from(order + ("Q" if wide else "I"), data, 0x28 if wide else 0x20)
    shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A if wide else 0x2E)
    layout = order + ("IIQQQQIIQQ" if wide else "IIIIIIIIII")
    sections = [struct.unpack_from(layout, data, shoff + i * shentsize) for i in range(shnum)]
    [dynsym] = [s for s in sections if s[1] == 11]  # SHT_DYNSYM
    strings, symbol = sections[dynsym[6]][4], order + ("IBBH" if wide else "IIIBBH")
    names = []
    for offset in range(dynsym[4], dynsym[4] + dynsym[5], dynsym[9]):
        fields = struct.unpack_from(symbol, data, offset)
        name, info, section = fields[0], fields[-3], fields[-1]
        if section != 0 and info >> 4 in (1, 2, 10):  # defined; global, weak or unique
            names.append(data[strings + name:data.index(b"\0", strings + name)].decode())
    return names


def test_only_the_entry_point_is_exported():
    assert exported_symbols(tiltwick.__file__) == ["PyInit_tiltwick"]


def stub_keys(name, classes):
    """The keys of a TypedDict of the stub, its bases' first, with their annotations."""
    cls = classes[name]
    keys = [k for base in cls.bases if isinstance(base, ast.Name) and base.id in classes for k in stub_keys(base.id, classes)]
    return keys + [(a.target.id, ast.unparse(a.annotation)) for a in cls.body if isinstance(a, ast.AnnAssign)]


def test_the_stub_describes_every_dict(tmp_path):
    """The hand-written stub cannot drift from the catalogue: a packet dict's keys are "type"
    and every alternative in catalogue order, and each reading dict has the stub's keys, in
    its order, with values of its types."""
    stub = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "stubs", "tiltwick.pyi")
    classes = {c.name: c for c in ast.parse(open(stub).read()).body if isinstance(c, ast.ClassDef)}
    packet = stub_keys("Packet", classes)
    assert packet[0] == ("type", "Literal['sensor', 'estimate']")
    assert [name for name, _ in packet[1:]] == list(mw.CATALOGUE)
    sample = {"f32": 1.5, "f64": 2.5, "u16": 7, "vf": "Valid"}
    types = {"float": float, "int": int, "_Validity": str}
    for name, shape in packet[1:]:
        alt = mw.CATALOGUE[name]
        path = tmp_path / f"{name}.bin"
        path.write_bytes(mw.frame(alt.descriptor_set, mw.encode_reading(name, *(sample[t] for _, t in alt.fields))))
        client = AHRSClient()
        client.open_file(str(path))
        got = client.read()
        assert got["type"] == ("sensor" if alt.descriptor_set == mw.SENSOR_SET else "estimate")
        assert [(k, type(v)) for k, v in got[name].items()] == [(k, types[t]) for k, t in stub_keys(shape, classes)]


def test_reimport_gives_the_same_module_object():
    saved = sys.modules.pop("tiltwick")
    try:
        assert importlib.import_module("tiltwick") is saved
    finally:
        sys.modules["tiltwick"] = saved


@pytest.mark.parametrize("obj, signature", [
    (AHRSClient, "()"),
    (BufferedAHRSClient, "(serial_device, baud_rate, buffer_size, verbose)"),
    (parse_data_stream_py, "(filename)"),
    (AHRSClient.open, "($self, serial_device, baud_rate)"),
    (AHRSClient.open_file, "($self, filename)"),
    *[(getattr(AHRSClient, m), "($self)") for m in NO_ARGUMENT_METHODS],
    (BufferedAHRSClient.take, "($self)"),
], ids=lambda x: getattr(x, "__qualname__", None))
def test_text_signatures_and_docstrings(obj, signature):
    assert obj.__text_signature__ == signature
    # the whole documentation string is the signature: nothing is left as a docstring
    assert obj.__doc__ == ("" if isinstance(obj, type) else None)


def test_bound_signatures():
    assert str(inspect.signature(AHRSClient().open)) == "(serial_device, baud_rate)"
    assert str(inspect.signature(BufferedAHRSClient)) == "(serial_device, baud_rate, buffer_size, verbose)"


@pytest.mark.parametrize("cls", [AHRSClient, BufferedAHRSClient])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    with pytest.raises(TypeError):
        class Derived(cls):  # noqa: F841
            pass


def buffered_client(capfd, verbose=False):
    """A buffered client whose reader thread has ended on the missing device."""
    client = BufferedAHRSClient(NO_SUCH_DEVICE, 9600, 4, verbose)
    err, deadline = "", time.monotonic() + 10
    while "Failed to open port" not in err and time.monotonic() < deadline:
        time.sleep(0.01)
        err += capfd.readouterr().err
    assert "tiltwick: fatal error in the reader thread: Failed to open port" in err
    assert client.take() == []
    return client


def test_no_attributes_no_dict_no_weak_references(capfd):
    for instance in [AHRSClient(), buffered_client(capfd)]:
        with pytest.raises(AttributeError):
            instance.extra = 1
        with pytest.raises(AttributeError):
            instance.read = None
        assert not hasattr(instance, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(instance)


# ---------------------------------------------------------------------------------------
# Argument binding: the texts Python itself produces for a function of the same name and
# parameters (all positional-or-keyword, none with a default).

CALLABLES = [
    ("AHRSClient.__new__", [], lambda *a, **k: AHRSClient(*a, **k)),
    ("AHRSClient.open", ["serial_device", "baud_rate"], lambda *a, **k: AHRSClient().open(*a, **k)),
    ("AHRSClient.open_file", ["filename"], lambda *a, **k: AHRSClient().open_file(*a, **k)),
    ("BufferedAHRSClient.__new__", ["serial_device", "baud_rate", "buffer_size", "verbose"],
     lambda *a, **k: BufferedAHRSClient(*a, **k)),
    ("parse_data_stream_py", ["filename"], lambda *a, **k: parse_data_stream_py(*a, **k)),
]


def python_wording(name, parameters, args, kwargs):
    namespace = {}
    exec(f"def f({', '.join(parameters)}): pass", namespace)
    function = namespace["f"]
    function.__qualname__ = name
    if hasattr(function.__code__, "co_qualname"):
        function.__code__ = function.__code__.replace(co_qualname=name)
    with pytest.raises(TypeError) as raised:
        function(*args, **kwargs)
    return str(raised.value)


def call_shapes(parameters):
    n, given = len(parameters), [b"x"] * len(parameters)  # bytes: binding must fail before conversion
    shapes = [(given + [b"x"], {}), (given, {"bogus": 1})]
    if n:
        shapes += [(given[1:], {}), ([], {}), (given, {parameters[0]: b"x"}),
                   (given + [b"x", b"x"], {parameters[-1]: b"x"}), ([], {"bogus": 1, parameters[0]: b"x"})]
    if n >= 2:
        shapes += [(given[:-2], {}), ([], {parameters[-1]: b"x"}), (given[:-1], {parameters[0]: b"x"})]
    return shapes


@pytest.mark.parametrize("name, parameters, call", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_binding_errors_have_pythons_wording(name, parameters, call):
    for args, kwargs in call_shapes(parameters):
        with pytest.raises(TypeError) as raised:
            call(*args, **kwargs)
        assert str(raised.value) == python_wording(name, parameters, args, kwargs), (args, kwargs)


@pytest.mark.parametrize("method", NO_ARGUMENT_METHODS)
def test_no_argument_methods_refuse_arguments(capfd, method):
    with pytest.raises(TypeError, match=rf"^AHRSClient\.{method}\(\) takes no arguments \(1 given\)$"):
        getattr(AHRSClient(), method)(1)
    with pytest.raises(TypeError, match=rf"^AHRSClient\.{method}\(\) takes no keyword arguments$"):
        getattr(AHRSClient(), method)(x=1)
    with pytest.raises(TypeError, match=r"^BufferedAHRSClient\.take\(\) takes no arguments \(1 given\)$"):
        buffered_client(capfd).take(1)


@pytest.mark.parametrize("method, args", [("read", ()), ("open", ("x", 1)), ("open_file", ("x",))])
def test_foreign_self_is_refused(method, args):
    with pytest.raises(TypeError):
        getattr(AHRSClient, method)(5, *args)
    with pytest.raises(TypeError):
        BufferedAHRSClient.take(AHRSClient())


# ---------------------------------------------------------------------------------------
# Conversions

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


def open_device(device, baud):
    return AHRSClient().open(device, baud)


def open_file(name):
    return AHRSClient().open_file(name)


@pytest.mark.parametrize("call, error, text", [
    (lambda: open_device(b"/dev/x", 9600), TypeError,
     "argument 'serial_device': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: open_file(None), TypeError, "argument 'filename': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: parse_data_stream_py(b"f"), TypeError,
     "argument 'filename': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: open_device(NO_SUCH_DEVICE, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: open_device(NO_SUCH_DEVICE, 2**64), OverflowError, "int too big to convert"),
    (lambda: open_device(NO_SUCH_DEVICE, 2**32), OverflowError, "out of range integral type conversion attempted"),
    (lambda: open_device(NO_SUCH_DEVICE, 2**64 - 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: open_device(NO_SUCH_DEVICE, 9600.0), TypeError,
     "argument 'baud_rate': 'float' object cannot be interpreted as an integer"),
    (lambda: open_device(NO_SUCH_DEVICE, "9600"), TypeError,
     "argument 'baud_rate': 'str' object cannot be interpreted as an integer"),
    (lambda: open_device(b"x", -1), TypeError,  # parameters convert in order
     "argument 'serial_device': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: BufferedAHRSClient(NO_SUCH_DEVICE, 9600, 2**32, 1), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: BufferedAHRSClient(NO_SUCH_DEVICE, 9600, 1.0, True), TypeError,
     "argument 'buffer_size': 'float' object cannot be interpreted as an integer"),
    (lambda: BufferedAHRSClient(NO_SUCH_DEVICE, 9600, 1, 1), TypeError,
     "argument 'verbose': 'int' object cannot be converted to 'PyBool'"),
    (lambda: BufferedAHRSClient(NO_SUCH_DEVICE, 9600, 1, None), TypeError,
     "argument 'verbose': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: open_device("\udc80", 9600), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    (lambda: open_file("a\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
    (lambda: parse_data_stream_py("\udfff"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udfff' in position 0: surrogates not allowed"),
    (lambda: BufferedAHRSClient("\udc80", 9600, 1, True), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    # accepted values reach the operation, which fails on the missing device
    (lambda: open_device(NO_SUCH_DEVICE, Index(9600)), ValueError, NO_DEVICE),
    (lambda: open_device(Text(NO_SUCH_DEVICE), True), ValueError, NO_DEVICE),
    (lambda: open_device(NO_SUCH_DEVICE, 0), ValueError, NO_DEVICE),
    (lambda: open_device(NO_SUCH_DEVICE, 2**32 - 1), ValueError, NO_DEVICE),
    (lambda: AHRSClient().read_packet(), ValueError, NOT_STREAMING),
])
def test_conversion_errors(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error
    assert str(raised.value) == text
    assert raised.value.__cause__ is None


def test_wrapping_keeps_the_cause():
    cause = KeyError("inner cause")

    class Refusing:
        def __index__(self):
            raise TypeError("no index today") from cause

    with pytest.raises(TypeError) as raised:
        open_device(NO_SUCH_DEVICE, Refusing())
    assert str(raised.value) == "argument 'baud_rate': no index today"
    assert raised.value.__cause__ is cause


def test_fresh_client_reads_nothing(capfd):
    client = AHRSClient()
    capfd.readouterr()
    assert client.read() == {}
    with pytest.raises(ValueError) as raised:
        client.read_packet()
    assert raised.value.args == (NOT_STREAMING,)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("verbose", ["true", "false"])
def test_numpy_bool_is_accepted_for_verbose(capfd, verbose):
    numpy = pytest.importorskip("numpy")
    buffered_client(capfd, numpy.bool_(verbose == "true"))
    with pytest.raises(TypeError, match="^argument 'verbose': 'int64' object cannot be converted to 'PyBool'$"):
        BufferedAHRSClient(NO_SUCH_DEVICE, 9600, 4, numpy.int64(1))


def test_sub_interpreter_import_is_refused():
    # The module is initialised once per process and refuses a second interpreter itself. From
    # 3.12 CPython refuses such a module in an isolated sub-interpreter before it runs, so the test
    # asks for a legacy one; 3.13 renamed the module and returns a failure snapshot where older
    # versions raise.
    try:
        interpreters = importlib.import_module("_interpreters")
        interpreter = interpreters.create("legacy")
    except ModuleNotFoundError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interpreter = interpreters.create(**({"isolated": False} if sys.version_info >= (3, 12) else {}))
    try:
        try:
            failure = interpreters.run_string(interpreter, f"import sys; sys.path[:0] = {sys.path!r}; import tiltwick")
        except Exception as raised:
            failure = raised
        text = getattr(failure, "formatted", str(failure))
        assert "ImportError" in text and "tiltwick does not support sub-interpreters" in text, text
    finally:
        interpreters.destroy(interpreter)
