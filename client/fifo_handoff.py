"""Free slots handed to waiting requests strictly in the order they came.

asyncio.Queue would let a newcomer take an item put back just before the
longest waiter wakes up; here a freed slot goes straight to that waiter.
"""

from __future__ import annotations

import asyncio
from collections import deque
from typing import Callable, Generic, TypeVar

T = TypeVar("T")


class FifoHandoff(Generic[T]):
    def __init__(self, items: list[T]) -> None:
        self._free: deque[T] = deque(items)
        self._waiters: deque[asyncio.Future[T]] = deque()

    async def take(self) -> T:
        if self._free and not self._waiters:
            return self._free.popleft()
        waiter: asyncio.Future[T] = asyncio.get_running_loop().create_future()
        self._waiters.append(waiter)
        try:
            return await waiter
        except BaseException:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                # Handed a slot just as this request was cancelled: the next one takes it.
                self.give(waiter.result())
            elif waiter in self._waiters:
                self._waiters.remove(waiter)
            raise

    def give(self, item: T) -> None:
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(item)
                return
        self._free.append(item)

    def fail_waiting(self, error: Callable[[], BaseException]) -> None:
        """Every request still waiting raises a fresh `error()`."""
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_exception(error())
