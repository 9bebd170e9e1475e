from collections.abc import AsyncIterable, AsyncIterator
from typing import final

from quillmoth.contents import StreamedFormPart

DEFAULT_MAX_PARTS: int
DEFAULT_MAX_HEADER_SIZE: int
DEFAULT_MAX_HEADERS: int
DEFAULT_MAX_FIELD_SIZE: int
MAX_BOUNDARY_LENGTH: int

@final
class MultipartPart(StreamedFormPart):
    def stream(self) -> AsyncIterator[bytes]: ...  # type: ignore[override]

def get_boundary_from_header(content_type: bytes | str, /) -> bytes: ...
def parse_multipart_async(
    stream: AsyncIterable[bytes | None],
    boundary: bytes | str,
    max_parts: int | None = None,
    max_header_size: int | None = None,
    max_headers: int | None = None,
    max_field_size: int | None = None,
) -> AsyncIterator[MultipartPart]: ...
def set_default_limits(
    max_parts: int | None = None,
    max_header_size: int | None = None,
    max_headers: int | None = None,
    max_field_size: int | None = None,
) -> None: ...
def get_default_limits() -> dict[str, int]: ...
def reset_default_limits() -> None: ...
