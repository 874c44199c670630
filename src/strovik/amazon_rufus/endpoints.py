"""Which browser endpoint a worker uses: the endpoints' load, which are lost, and when a
lost one may be tried again.

No threads and no locks: the caller (a batch, the browser pool) holds its own lock around
these calls, and ``clock`` is passed in, so that the bookkeeping is tested with a fake one.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

# A lost browser endpoint is tried again after this many seconds, twice as long after each
# failed try in a row, up to RETRY_CAP: a host that comes back gets workers again.
RETRY_AFTER = 30.0
RETRY_CAP = 300.0


@dataclass
class _Loss:
    """Why an endpoint is lost, how many times in a row, and when it may be tried again."""

    reason: str
    losses: int = 0  # in a row, without a connection that worked in between
    retry_at: float = 0.0
    trying: bool = False  # handed to a worker since the last loss was counted

    def count(self, now: float) -> None:
        self.losses += 1
        self.trying = False
        self.retry_at = now + self.cool_down()

    def cool_down(self) -> float:
        return min(RETRY_AFTER * 2 ** (self.losses - 1), RETRY_CAP)


@dataclass
class EndpointBook:
    """The endpoints workers are spread over, the workers on each and the lost ones."""

    endpoints: Sequence[str]
    clock: Callable[[], float]
    lost: dict[str, _Loss] = field(default_factory=dict)
    load: Counter[str] = field(default_factory=Counter)

    def pick(self, previous: str | None, *, fewer: bool = False) -> str | None:
        """The usable endpoint with the fewest workers, counting the asking worker on it: one
        not lost, or lost with its cool-down over (the worker tries it again). ``previous`` is
        the worker's endpoint so far, which it leaves. With ``fewer``, one only if it has at
        least two workers fewer than ``previous``: a move that evens out the load, as when a
        lost endpoint may be tried again."""
        now = self.clock()
        usable = [
            endpoint
            for endpoint in self.endpoints
            if (loss := self.lost.get(endpoint)) is None or (not loss.trying and now >= loss.retry_at)
        ]
        if fewer and (
            previous is None
            or not usable
            or min(self.load[endpoint] for endpoint in usable) >= self.load[previous] - 1
        ):
            return None
        if previous is not None:
            self.load[previous] -= 1
        if not usable:
            return None
        chosen = min(usable, key=lambda endpoint: self.load[endpoint])
        self.load[chosen] += 1
        if (loss := self.lost.get(chosen)) is not None:
            # One worker at a time tries it; should that worker vanish, another tries
            # after one more cool-down.
            loss.trying = True
            loss.retry_at = now + loss.cool_down()
        return chosen

    def leave(self, endpoint: str | None) -> None:
        """A worker on ``endpoint`` stops for good."""
        if endpoint is not None:
            self.load[endpoint] -= 1

    def mark_lost(self, endpoint: str, reason: str) -> str | None:
        """Count a failed connection to (or a loss of) ``endpoint``; the note to show, or None
        when another worker already reported the same loss."""
        loss = self.lost.get(endpoint)
        if loss is not None and not loss.trying:
            return None
        if loss is None:
            loss = self.lost[endpoint] = _Loss(reason)
            left = len(self.endpoints) - len(self.lost)
            then = "its work goes to the other endpoints" if left else "no endpoint is left"
            text = f"browser endpoint {endpoint} lost ({reason}); {then}"
        loss.reason = reason
        loss.count(self.clock())
        if loss.losses > 1:
            text = f"browser endpoint {endpoint} still lost ({reason}); next try in {loss.cool_down():g} s"
        return text

    def is_lost(self, endpoint: str) -> bool:
        return endpoint in self.lost

    def mark_back(self, endpoint: str) -> str | None:
        """A worker connected to ``endpoint``: if it was lost, it is usable again (the note to show)."""
        if self.lost.pop(endpoint, None) is None:
            return None
        return f"browser endpoint {endpoint} is back"

    def all_lost(self) -> bool:
        return bool(self.endpoints) and len(self.lost) == len(set(self.endpoints))
