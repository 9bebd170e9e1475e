"""The floor: a bare ASGI 3 callable answering every request with the hello text."""

from _payloads import HELLO

BODY = HELLO.encode()
START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", str(len(BODY)).encode())],
}
END = {"type": "http.response.body", "body": BODY}


async def app(scope, receive, send):
    if scope["type"] == "http":
        await send(START)
        await send(END)
    elif scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
