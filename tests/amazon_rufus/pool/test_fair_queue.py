"""The slot queue against its promises, over random arrivals and releases of three owners:
never more holders than slots, no slot idle while a call waits, and no owner given a slot
beyond half of them while another owner's call waits."""

from __future__ import annotations

import asyncio
from collections import Counter

from hypothesis import example, given, settings
from hypothesis import strategies as st

from strovik.amazon_rufus.pool.fair import Busy, FairQueue

OPS = st.lists(st.one_of(st.sampled_from("abc"), st.just("release"), st.just("cancel")), max_size=40)


@settings(max_examples=400, deadline=None)
@given(size=st.integers(1, 5), ops=OPS)
@example(size=3, ops=["a", "a", "a", "b", "a", "release", "b", "release"])  # two owners at their cap
def test_slots_are_shared_fairly_and_none_stays_idle(size: int, ops: list[str]) -> None:
    async def run() -> None:
        fair = FairQueue(size, limit=100)
        granted: list[str] = []  # owners holding a slot, in the order they got it
        grants: Counter[str] = Counter()
        waiting: list[tuple[str, asyncio.Task[None]]] = []

        async def call(owner: str) -> None:
            await fair.acquire(owner)
            granted.append(owner)
            grants[owner] += 1

        for op in ops:
            before = grants.copy()
            if op == "release":
                if granted:
                    fair.release(granted.pop(0))
            elif op == "cancel":
                if waiting:
                    waiting.pop()[1].cancel()
            else:
                waiting.append((op, asyncio.create_task(call(op))))
            for _ in range(3):
                await asyncio.sleep(0)
            waiting = [(owner, task) for owner, task in waiting if not task.done()]

            assert fair.busy == len(granted) <= size
            assert fair.waiting == len(waiting)
            assert fair.busy == size or not waiting, "a slot is idle while a call waits"
            for owner, held in fair.holding.items():
                others_wait = any(other != owner for other, _ in waiting)
                if grants[owner] > before[owner] and others_wait:
                    assert held <= (size + 1) // 2, f"{owner} got a slot beyond half while others wait"
        for _, task in waiting:
            task.cancel()

    asyncio.run(run())


def test_a_full_queue_refuses_at_once() -> None:
    async def run() -> str:
        fair = FairQueue(1, limit=2)
        await fair.acquire("a")
        waiters = [asyncio.create_task(fair.acquire("a")) for _ in range(2)]
        await asyncio.sleep(0)
        try:
            await fair.acquire("b")
        except Busy as exc:
            return str(exc)
        finally:
            for waiter in waiters:
                waiter.cancel()
        raise AssertionError("a third waiting call was admitted")

    assert asyncio.run(run()) == "busy: 2 calls waiting"
