"""The rows of tiltwick-csv, built a batch of packets at a time.

A float becomes the shortest text that reads back to the device's value at the field's own
precision: the fewest digits that give that single-precision value again for a single, those
that give that double again for a double. The text is laid out as parse_data_stream_py lays
it out: plain decimal with at least one digit after the point when the decimal exponent of
those digits is from -4 up to 15, scientific outside ("1e-5", "1.5e16"), and "NaN", "inf",
"-inf". Ints and validity words stay as they are.

A double's shortest digits are Python's own repr. A single's come from numpy, whose float32
to text conversion finds them in compiled code, for a whole batch at once: finding them in
Python took most of the command's time.
"""

from __future__ import annotations

import itertools
import operator
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import mip_wire as mw
from .files import CommandError
from .units import label

if TYPE_CHECKING:
    from tiltwick import Packet

__all__ = ["rows", "single_texts", "double_text", "NUMPY_MISSING"]

NUMPY_MISSING = "numpy is needed to write CSV: pip install 'tiltwick[csv]' (or pip install numpy)"

# Packets whose single-precision values are turned into text together.
_BATCH = 2048
# Characters of numpy's text of a single: the longest is 19, "-1000000000000000.0".
_WIDTH = 24
# Magnitudes well inside the plain layout's range, whatever their shortest digits: numpy's plain
# text of these is already laid out as the CSV wants it. The rest, and every text in numpy's
# scientific layout (which it uses from 1e6 or so up), is laid out again.
_PLAIN_LOW, _PLAIN_HIGH = 2e-4, 1e15


class _Plan:
    """How the packets of one shape (the same keys in the same order) become cells: the
    readings to take, the column labels of their values in order, and where the single-precision
    values and the doubles sit among those. A reading's fields are the same in every packet:
    the module builds each alternative's dict with a fixed layout."""

    __slots__ = ("take_readings", "labels", "single_labels", "take_singles", "doubles")

    def __init__(self, packet: Mapping[str, Any]) -> None:
        alternatives = [name for name, reading in packet.items() if isinstance(reading, dict)]
        self.take_readings = _picker(alternatives)
        cells = [(name, field, dict(mw.CATALOGUE[name].fields).get(field) if name in mw.CATALOGUE else None)
                 for name in alternatives for field in packet[name]]
        self.labels = [label(name, field) for name, field, _ in cells]
        singles = [i for i, (_, _, wire) in enumerate(cells) if wire == "f32"]
        self.single_labels = tuple(self.labels[i] for i in singles)
        self.take_singles = _picker(singles)
        self.doubles = [(i, self.labels[i]) for i, (_, _, wire) in enumerate(cells) if wire == "f64"]


def _picker(keys: list[Any]) -> Callable[[Any], Sequence[Any]]:
    """What takes the items under ``keys`` out of a container, in order: itemgetter, which does
    it in compiled code, where it gives a tuple (two keys or more)."""
    if len(keys) > 1:
        return operator.itemgetter(*keys)
    return lambda container: [container[key] for key in keys]


def rows(packets: Iterable[Packet]) -> Iterator[dict[str, Any]]:
    """One row per packet with readings: "index" (counting those packets), "type", then one
    cell per reading field under its label (see ``units.label``), in the packet's order. Raises
    CommandError when numpy is missing."""
    _numpy()
    plans: dict[tuple[str, ...], _Plan] = {}
    index = 0
    it = iter(packets)
    while batch := list(itertools.islice(it, _BATCH)):
        built, pending, singles = _cells(batch, index, plans)
        texts = iter(single_texts(singles))
        for row, labels in pending:
            # zip stops at the labels' end without taking a text beyond them
            row.update(zip(labels, texts))
        index += len(built)
        yield from built


def _cells(batch: list[Packet], first_index: int, plans: dict[tuple[str, ...], _Plan]) -> tuple[
        list[dict[str, Any]], list[tuple[dict[str, Any], tuple[str, ...]]], list[float]]:
    """The batch's rows with every cell in place but the singles' texts; (row, labels) for
    each row whose singles are due, and those singles, in that order."""
    built: list[dict[str, Any]] = []
    pending: list[tuple[dict[str, Any], tuple[str, ...]]] = []
    singles: list[float] = []
    for packet in batch:
        if not packet:
            continue
        shape = tuple(packet)
        plan = plans.get(shape)
        if plan is None:
            plan = plans[shape] = _Plan(packet)
        row: dict[str, Any] = {"index": first_index + len(built), "type": packet.get("type")}
        built.append(row)
        values = list(itertools.chain.from_iterable(map(dict.values, plan.take_readings(packet))))
        if len(values) != len(plan.labels):  # a reading of another layout: a plan of its own
            plan = _Plan(packet)
        row.update(zip(plan.labels, values))
        for i, column in plan.doubles:
            row[column] = double_text(values[i])
        if plan.single_labels:
            singles += plan.take_singles(values)
            pending.append((row, plan.single_labels))
    return built, pending, singles


def single_texts(values: Sequence[float]) -> list[str]:
    """Each single-precision value (widened to a float) as text. Raises CommandError when numpy
    is missing."""
    np = _numpy()
    array = np.array(values, dtype=np.float32)
    numpy_texts = array.astype(f"U{_WIDTH}")
    magnitude = np.abs(array)
    with np.errstate(invalid="ignore"):
        outside = ~((magnitude >= _PLAIN_LOW) & (magnitude < _PLAIN_HIGH))
    # the texts' characters, one code point a cell: which hold an exponent, found in compiled code
    scientific = (numpy_texts.view(np.uint32).reshape(len(array), _WIDTH) == ord("e")).any(axis=1)
    texts: list[str] = numpy_texts.tolist()
    for i in np.flatnonzero(outside | scientific).tolist():
        texts[i] = _laid_out(texts[i])
    return texts


def double_text(value: float) -> str:
    """A double as text."""
    text = repr(value)
    # repr already lays out plain decimals within the range; only its exponents and "nan" differ
    return _laid_out(text) if "e" in text or text[-1] == "n" else text


def _laid_out(text: str) -> str:
    """A shortest text in any layout (plain or scientific, numpy's or Python's) in the CSV's."""
    sign = "-" if text.startswith("-") else ""
    body = text.lstrip("+-")
    if body.lower() == "nan":
        return "NaN"
    if body == "inf":
        return sign + "inf"
    mantissa, _, power = body.partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    if not digits.rstrip("0"):
        return sign + "0.0"
    exponent = int(power or "0") + len(whole) - 1 - (len(whole) + len(fraction) - len(digits))
    digits = digits.rstrip("0")
    if exponent < -4 or exponent >= 16:
        return f"{sign}{digits[0]}{'.' + digits[1:] if len(digits) > 1 else ''}e{exponent}"
    if exponent < 0:
        return f"{sign}0.{'0' * (-exponent - 1)}{digits}"
    return f"{sign}{digits[:exponent + 1].ljust(exponent + 1, '0')}.{digits[exponent + 1:] or '0'}"


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise CommandError(NUMPY_MISSING) from None
    return numpy
