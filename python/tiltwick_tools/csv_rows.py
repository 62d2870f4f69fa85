"""The rows of tiltwick-csv, built a batch of packets at a time.

A float becomes the shortest text that reads back to the device's value at the field's own
precision: the fewest digits that give that single-precision value again for a single, those
that give that double again for a double. The text is laid out as parse_data_stream_py lays
it out: plain decimal with at least one digit after the point when the decimal exponent of
those digits is from -4 up to 15, scientific outside ("1e-5", "1.5e16"), and "NaN", "inf",
"-inf". Ints and validity words stay as they are.

A double's shortest digits are Python's own repr. A single's come from numpy where it is
installed, whose float32 to text conversion finds them in compiled code, for a whole batch at
once. Without numpy (the package index has no numpy for 32-bit ARM boards) they are found in
Python, digit count by digit count: the same texts, several times slower.
"""

from __future__ import annotations

import itertools
import math
import operator
import struct
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from decimal import Decimal
from fractions import Fraction

from . import mip_wire as mw
from .units import label

if TYPE_CHECKING:
    from tiltwick import Packet

__all__ = ["rows", "columns", "single_texts", "double_text"]

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
    cell per reading field under its label (see ``units.label``), in the packet's order."""
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


def columns(packets: Iterable[Packet]) -> tuple[dict[str, None], int]:
    """The columns of the rows ``rows(packets)`` gives, in order of first appearance, and how
    many rows there are; no value is turned into text."""
    found: dict[str, None] = dict.fromkeys(("index", "type"))
    labels: dict[tuple[str, str], str] = {}
    count = 0
    for packet in packets:
        if not packet:
            continue
        count += 1
        for name, reading in packet.items():
            if isinstance(reading, dict):
                for field in reading:
                    if (name, field) not in labels:
                        found[labels.setdefault((name, field), label(name, field))] = None
    return found, count


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
    """Each single-precision value (widened to a float) as text."""
    np = _numpy()
    if np is None:
        return [_single_text(value) for value in values]
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
        return None
    return numpy


_SINGLE = struct.Struct("=f")
_SINGLE_BITS = struct.Struct("=I")


def _single_text(value: float) -> str:
    """A single-precision value as text, without numpy: of the fewest digits that read back as
    the value, the decimal nearest to it."""
    if not math.isfinite(value) or value == 0:
        return double_text(value)
    power_of_two = _SINGLE_BITS.unpack(_SINGLE.pack(value))[0] & 0x7FFFFF == 0
    for digits in range(1, 10):
        nearest = f"{value:.{digits - 1}e}"
        if _reads_back(nearest, value):
            return _laid_out(nearest)
        # Just above a power of two the singles are twice as far apart as just below it: the
        # decimal on the value's other side may read back where the nearer one does not.
        if power_of_two:
            step = Decimal(1).scaleb(Decimal(nearest).adjusted() - digits + 1)
            other = format(Decimal(nearest) + (step if float(nearest) < value else -step), "e")
            if _reads_back(other, value):
                return _laid_out(other)
    return _laid_out(f"{value:.8e}")


def _reads_back(text: str, single: float) -> bool:
    """Whether the decimal ``text`` rounds to ``single``. Through a double it can land on the
    midpoint of two singles while the decimal lies beside it: the decimal's side decides then."""
    through = float(text)
    below, above = _to_single(math.nextafter(through, -math.inf)), _to_single(math.nextafter(through, math.inf))
    if below != above:  # at or next to a midpoint
        midpoint, exact = (_exact(below) + _exact(above)) / 2, Fraction(text)
        return (below if exact < midpoint else above if exact > midpoint else _to_single(through)) == single
    return _to_single(through) == single


def _exact(single: float) -> Fraction:
    """A single as a fraction; infinity as 2**128, the next power of two after the largest
    single, as rounding treats it."""
    return Fraction(single) if math.isfinite(single) else Fraction(int(math.copysign(2**128, single)))


def _to_single(value: float) -> float:
    try:
        single: float = _SINGLE.unpack(_SINGLE.pack(value))[0]
    except OverflowError:  # beyond the largest single: rounds to infinity
        return math.copysign(math.inf, value)
    return single
