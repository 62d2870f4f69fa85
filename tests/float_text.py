"""Floats as the shortest text that reads back to the same value at their own precision: a
single-precision value as the fewest digits that give that single-precision value again, a
double as the fewest that give that double. Laid out as parse_data_stream_py lays them out:
plain decimal with at least one digit after the point from 1e-4 up to 1e16, scientific outside
(1e-5, 1.5e16), and "NaN", "inf", "-inf"."""

from __future__ import annotations

import math
import struct
from decimal import Decimal
from fractions import Fraction

__all__ = ["float_text"]

_F32 = struct.Struct(">f")
_BITS = struct.Struct(">I")
_DOUBLE_BITS = struct.Struct(">Q")
_F32_MIN_NORMAL = 2.0**-126


def _to_f32(x: float) -> float:
    try:
        value: float = _F32.unpack(_F32.pack(x))[0]
    except OverflowError:  # rounds to infinity
        return math.inf
    return value


def _f32_from_bits(bits: int) -> float:
    value: float = _F32.unpack(_BITS.pack(bits))[0]
    return value


def _reads_back_as_f32(text: str, target: float) -> bool:
    """Whether the decimal ``text`` rounds to the single-precision ``target`` (positive, finite)."""
    through_double = float(text)
    # Rounding to a double first can land exactly on the midpoint between two single-precision
    # values although the decimal is not on it; decide those few cases exactly.
    # Below the smallest normal single-precision value the spacing differs: decide exactly there.
    if target >= _F32_MIN_NORMAL and _DOUBLE_BITS.unpack(struct.pack(">d", through_double))[0] & 0x1FFFFFFF != 0x10000000:
        return _to_f32(through_double) == target
    bits = _BITS.unpack(_F32.pack(target))[0]
    exact, value = Fraction(Decimal(text)), Fraction(target)
    upper = Fraction(2**128) if bits == 0x7F7FFFFF else Fraction(_f32_from_bits(bits + 1))
    low = (Fraction(_f32_from_bits(bits - 1)) + value) / 2 if bits > 0 else Fraction(0)
    high = (value + upper) / 2
    return low < exact < high or (bits % 2 == 0 and exact in (low, high))


def _shortest_f32(x: float) -> Decimal:
    """The shortest decimal that reads back as the positive single-precision ``x``; of two with
    as few digits, the nearer."""
    for digits in range(1, 10):
        nearest = Decimal(f"{x:.{digits - 1}e}")
        if _reads_back_as_f32(str(nearest), x):
            return nearest
        # At a power of two the interval around x is lopsided: the neighbour of the nearest
        # decimal on x's other side may fit where the nearest does not.
        step = Decimal(1).scaleb(nearest.adjusted() - digits + 1)
        other = nearest + step if nearest < Decimal(x) else nearest - step
        if _reads_back_as_f32(str(other), x):
            return other
    return Decimal(f"{x:.8e}")


def float_text(value: float, single: bool) -> str:
    """``value`` (a single-precision value widened to a float when ``single``) as text."""
    if math.isnan(value):
        return "NaN"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if math.isinf(value):
        return sign + "inf"
    if value == 0:
        return sign + "0.0"
    magnitude = abs(value)
    shortest = (_shortest_f32(magnitude) if single else Decimal(repr(magnitude))).normalize()
    exponent = shortest.adjusted()
    if -4 <= exponent < 16:
        plain = format(shortest, "f")
        return sign + (plain if "." in plain else plain + ".0")
    digits = "".join(map(str, shortest.as_tuple().digits))
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{exponent}"
