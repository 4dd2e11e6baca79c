"""Type stubs of norvane._reader, the compiled half of norvane.read()."""

import mmap
from collections.abc import Callable, Iterator
from typing import Any, final

from norvane._norvane import DecodedValue, TableSet

Buffer = bytes | bytearray | memoryview | mmap.mmap

class MessageBase:
    """Where one message of a read lies; made by Scanner only."""

    @property
    def index(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def length(self) -> int: ...
    @property
    def _key(self) -> int: ...
    @property
    def _cache(self) -> dict[int, Any]: ...
    def decode(self) -> list[DecodedValue]: ...
    def _header(self) -> tuple[Any, ...]: ...

@final
class Scanner(Iterator[MessageBase]):
    def __new__(
        cls,
        buffer: Buffer,
        message_class: type[MessageBase],
        by_key: dict[int, Any],
        note: Callable[[int, int, int, int, Any], None],
        fill: Callable[[int, int], tuple[int, bool]] | None,
    ) -> Scanner: ...
    def __next__(self) -> MessageBase: ...
    def close(self) -> None: ...

def decode(buffer: Buffer, offset: int, length: int, tables: TableSet) -> list[DecodedValue]: ...
def load_tables(
    root: str, master_table: int, master_version: int, local_version: int, centre: int, subcentre: int
) -> tuple[TableSet, str, str | None]: ...
