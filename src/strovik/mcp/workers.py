"""The server's processes: what each worker builds, and one or several of them on one socket.

:class:`WorkerPlan` is everything a worker needs to build its app, and uvicorn's app
factory: it is pickled to each worker process, which then builds its own gate,
verification pool, Rufus pool and event loop. uvicorn is imported with this module: the
command line imports it once it has checked that uvicorn is there. :func:`serve` runs one worker in this
process, or several under uvicorn's supervisor (:class:`Supervisor`), which restarts a
worker that dies and stops them all on SIGINT or SIGTERM. The socket is bound before,
by the caller, and shared by every worker.

A worker's layers, outermost first: :class:`~strovik.mcp.health.Health` (``/healthz``,
no key), :class:`~strovik.mcp.routing.Router` (sessions of other workers passed on; only
with several workers or a ``--node`` name), :class:`~strovik.mcp.metrics.CountedRequests`
(with ``--metrics-port``), then the gated app of :func:`strovik.mcp.app.build_app`.
"""

from __future__ import annotations

import os
import signal
import socket
import sys
import threading
from collections.abc import AsyncIterator, Callable, Mapping
from contextlib import aclosing, asynccontextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import uvicorn
from uvicorn.supervisors import Multiprocess

from strovik.mcp.app import HostContext, build_app
from strovik.mcp.health import Health
from strovik.mcp.routing import Router, Routes, private_listener

if TYPE_CHECKING:
    from starlette.types import ASGIApp

    from strovik.mcp.rufus_options import RufusSettings

# Seconds uvicorn waits for open streams (SSE) to end before cancelling them.
GRACEFUL_SHUTDOWN_SECONDS = 5
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


@dataclass(frozen=True)
class WorkerPlan:
    """What a worker builds its app from; called in the worker, it builds and returns the app."""

    # Keyword arguments of build_app (the key, the remote check, the Host names, ...).
    app_options: Mapping[str, Any] = field(default_factory=dict)
    rufus: RufusSettings | None = None
    # Session routes (None: one worker on one host, sessions stay where they are).
    routes: Routes | None = None
    metrics: bool = False
    # uvicorn's HTTP parser, for the private listener of a worker among several.
    http: str = "h11"
    # The supervisor's process id when there are several workers (None: this process serves).
    supervisor: int | None = None

    def __call__(self) -> ASGIApp:
        if self.supervisor is not None:
            end_with_supervisor(self.supervisor)
        rufus = None
        if self.rufus is not None:
            from strovik.mcp.rufus_tools import RufusTools

            rufus = RufusTools(self.rufus)
        metrics = None
        if self.metrics:
            from strovik.mcp.metrics import Metrics

            metrics = Metrics()
        health = Health(_not_built, rufus.pool_state if rufus is not None else None)

        def stopping() -> None:
            health.stopping = True
            if rufus is not None:
                rufus.stop_soon()

        contexts: list[HostContext] = []
        if rufus is not None:
            contexts.append(rufus.running)
            if metrics is not None:
                contexts.append(lambda: metrics.sampling_rufus(rufus.pool_state))
        contexts.append(lambda: on_stop_signal(stopping))
        route = self.routes.route(os.getpid()) if self.routes is not None else None
        app = build_app(
            **self.app_options,
            tools=[rufus.register] if rufus is not None else (),
            contexts=contexts,
            route=route,
            metrics=metrics,
        )
        inner: ASGIApp = app.gate
        if metrics is not None:
            from strovik.mcp.metrics import CountedRequests

            inner = CountedRequests(inner, metrics)
        routes = self.routes
        if routes is not None:
            router = Router(inner, routes)
            inner = router
            contexts.append(lambda: aclosing(router))
            if routes.socket_dir is not None:
                path = routes.socket_path(router.pid)
                contexts.append(lambda: private_listener(health, path, self.http))
        health.app = inner
        return health


def end_with_supervisor(supervisor: int) -> None:
    """Have the kernel stop this worker (SIGTERM) when its supervisor ends, even by SIGKILL (Linux only).

    uvicorn's supervisor stops its workers itself only when it is let to; without this a
    supervisor killed outright would leave them serving on the socket.
    """
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    pr_set_pdeathsig = 1
    ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, int(signal.SIGTERM))
    if os.getppid() != supervisor:  # it ended before the request took hold
        os.kill(os.getpid(), signal.SIGTERM)


async def _not_built(_scope: Any, _receive: Any, _send: Any) -> None:
    raise RuntimeError("the worker's app is served before it is built")


@asynccontextmanager
async def on_stop_signal(callback: Callable[[], None]) -> AsyncIterator[None]:
    """Call ``callback`` as soon as SIGINT or SIGTERM arrives, then the handler in place (uvicorn's).

    The callback runs at once, in the signal handler, rather than after the graceful
    wait for open connections that follows.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous: dict[int, Any] = {}

    def handler(sig: int, frame: Any) -> None:
        callback()
        then = previous.get(sig)
        if callable(then):
            then(sig, frame)
        elif sig == signal.SIGINT:
            raise KeyboardInterrupt

    for stop in STOP_SIGNALS:
        previous[stop] = signal.signal(stop, handler)
    try:
        yield
    finally:
        for number, then in previous.items():
            signal.signal(number, then)


class Supervisor(Multiprocess):
    """uvicorn's supervisor of several workers, told of each worker that has ended."""

    def __init__(self, config: uvicorn.Config, sockets: list[socket.socket], on_worker_gone: Callable[[int], None]) -> None:
        super().__init__(config, sockets)
        self.on_worker_gone = on_worker_gone

    def keep_subprocess_alive(self) -> None:
        before = [process.pid for process in self.processes]
        super().keep_subprocess_alive()
        current = {process.pid for process in self.processes}
        for pid in before:
            if pid is not None and pid not in current:
                self.on_worker_gone(pid)


def serve(
    plan: WorkerPlan,
    sock: socket.socket,
    *,
    workers: int,
    log_config: dict[str, Any],
    log_level: str,
    loop: str,
    forwarded_allow_ips: str | None,
    on_worker_gone: Callable[[int], None] = lambda _pid: None,
) -> None:
    """Serve ``plan``'s app on ``sock`` in ``workers`` processes (1: in this one) until a stop signal.

    ``on_worker_gone`` is told the process id of each worker that died and was replaced.
    """
    config = uvicorn.Config(
        plan,
        factory=True,
        workers=workers,
        log_config=log_config,
        log_level=log_level,
        lifespan="on",
        loop=loop,
        http=plan.http,
        forwarded_allow_ips=forwarded_allow_ips,
        timeout_graceful_shutdown=GRACEFUL_SHUTDOWN_SECONDS,
    )
    if workers == 1:
        uvicorn.Server(config).run(sockets=[sock])
    else:
        Supervisor(config, [sock], on_worker_gone).run()
