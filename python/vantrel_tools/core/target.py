"""A quality target: one metric of the codec's table and the value to reach, checked once where
it enters (keywords of a function, a codec's configuration, the command line's flags)."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

from .names import METRICS_BY_NAME, QUALITY_TARGETS


def _listing(names: tuple[str, ...]) -> str:
    return ", ".join(names[:-1]) + " or " + names[-1] if len(names) > 1 else names[0]


@dataclass(frozen=True)
class QualityTarget:
    """A checked target: `metric` names a row of ``core.names.QUALITY_METRICS``; `value` is
    finite, above 0 for a level to reach and not negative for an error to stay within.

    Examples
    --------
    >>> QualityTarget.parse(rmse=1)
    QualityTarget(metric='rmse', value=1.0)
    >>> QualityTarget.given(psnr=None, rmse=None) is None
    True
    """

    metric: str
    value: float

    @classmethod
    def parse(cls, **values: Any) -> QualityTarget:
        """The one target among `values` (metric name -> value or None).

        Raises
        ------
        ValueError
            None or several given, or a value that is not finite (or not above 0 for a level,
            negative for an error).
        TypeError
            A value that is not a real number, or a name that is no metric.
        """
        unknown = [name for name in values if name not in METRICS_BY_NAME]
        if unknown:
            raise TypeError(f"unknown quality metric {unknown[0]!r}")
        given = [(name, value) for name, value in values.items() if value is not None]
        if len(given) != 1:
            names = ", ".join(name for name, _ in given) or "none"
            raise ValueError(f"give exactly one quality target ({_listing(QUALITY_TARGETS)}); "
                             f"got {names}")
        name, value = given[0]
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be a number, not {type(value).__name__}")
        value = float(value)
        level = METRICS_BY_NAME[name].higher_is_better
        # A level of 0 dB or below asks for an error as large as the signal: no target at all.
        if not math.isfinite(value) or (value <= 0.0 if level else value < 0.0):
            bound = "finite and above 0" if level else "finite and not negative"
            raise ValueError(f"{name} must be {bound}, but it was {value!r}")
        return cls(name, value)

    @classmethod
    def given(cls, **values: Any) -> QualityTarget | None:
        """:meth:`parse`, or None when no value is given."""
        if all(value is None for value in values.values()):
            return None
        return cls.parse(**values)

    def keywords(self) -> dict[str, float]:
        """The target as the keyword that gives it: ``{"psnr": 60.0}``."""
        return {self.metric: self.value}
