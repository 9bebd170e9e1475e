"""A client for testing applications in-process, over httpx's ASGI transport (install the
``testing`` extra). The application's lifespan runs around the client's use:

    async with TestClient(app) as client:
        response = await client.get("/hello")
        assert response.status_code == 200
"""

from __future__ import annotations

import asyncio
from typing import Any

try:
    import httpx
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("quillmoth.testing needs httpx: pip install 'quillmoth[testing]'") from error

__all__ = ["TestClient", "LifespanError"]


class LifespanError(RuntimeError):
    """The application failed its startup or shutdown."""


class _Lifespan:
    """Runs the lifespan protocol of an ASGI application: startup, then shutdown on request."""

    def __init__(self, app: Any) -> None:
        self.app = app
        self._inbox: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        self._outbox: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        self._task: asyncio.Task[None] | None = None

    async def _receive(self) -> dict[str, Any]:
        return await self._inbox.get()

    async def _send(self, message: dict[str, Any]) -> None:
        await self._outbox.put(message)

    async def _run(self) -> None:
        scope = {"type": "lifespan", "asgi": {"version": "3.0", "spec_version": "2.0"}, "state": {}}
        await self.app(scope, self._receive, self._send)

    async def _exchange(self, kind: str) -> None:
        await self._inbox.put({"type": f"lifespan.{kind}"})
        waiting = asyncio.ensure_future(self._outbox.get())
        done, _ = await asyncio.wait({waiting, self._task}, return_when=asyncio.FIRST_COMPLETED)
        if waiting not in done:
            waiting.cancel()
            self._task.result()  # the application's own error
            raise LifespanError(f"the application ended its lifespan before answering {kind}")
        answer = waiting.result()
        if answer["type"] == f"lifespan.{kind}.failed":
            raise LifespanError(answer.get("message", ""))

    async def startup(self) -> None:
        self._task = asyncio.create_task(self._run())
        await self._exchange("startup")

    async def shutdown(self) -> None:
        if self._task is None:
            return
        try:
            await self._exchange("shutdown")
        finally:
            await self._task


class TestClient(httpx.AsyncClient):
    """An httpx.AsyncClient bound to `app`; entering it runs the application's startup, leaving it
    the shutdown."""

    __test__ = False  # not a test class for pytest

    def __init__(self, app: Any, base_url: str = "http://testserver", lifespan: bool = True, **kwargs: Any) -> None:
        super().__init__(transport=httpx.ASGITransport(app=app), base_url=base_url, **kwargs)
        self._lifespan = _Lifespan(app) if lifespan else None

    async def __aenter__(self) -> TestClient:
        await super().__aenter__()
        if self._lifespan:
            await self._lifespan.startup()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        try:
            if self._lifespan:
                await self._lifespan.shutdown()
        finally:
            await super().__aexit__(*exc_info)
