"""The compiled part of orbisk_columnar; use orbisk_columnar.ColumnarStore."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, final

_Number: TypeAlias = SupportsFloat | SupportsIndex

def polygon_parts(shape: object, /) -> int: ...

@final
class ArrowResult:
    """Points selected from a store, as Arrow record batches held in memory."""

    @property
    def num_rows(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...

@final
class Handle:
    def __new__(
        cls,
        path: str,
        read_only: bool = False,
        capacity: int | None = 10000,
        wal_sync_interval_ms: int | None = None,
    ) -> Handle: ...
    @property
    def closed(self) -> bool: ...
    @property
    def read_only(self) -> bool: ...
    def close(self) -> None: ...
    def len(self) -> int: ...
    def slot_stats(self) -> tuple[int, int]: ...
    def verify_integrity(self) -> dict[str, Any]: ...
    def rows(
        self,
        bbox: Sequence[_Number] | None = None,
        radius: Sequence[_Number] | None = None,
        polygon: object | None = None,
        filter: dict[str, Any] | None = None,
        limit: SupportsIndex | None = None,
        sort_by_distance: Sequence[_Number] | None = None,
        max_distance_m: _Number | None = None,
    ) -> list[dict[str, Any]]: ...
    def nearest(
        self,
        lat: _Number,
        lon: _Number,
        k: SupportsIndex,
        filter: dict[str, Any] | None = None,
        max_distance_m: _Number | None = None,
    ) -> list[dict[str, Any]]: ...
    def to_arrow(
        self,
        bbox: Sequence[_Number] | None = None,
        radius: Sequence[_Number] | None = None,
        polygon: object | None = None,
        filter: dict[str, Any] | None = None,
        limit: SupportsIndex | None = None,
        sort_by_distance: Sequence[_Number] | None = None,
        max_distance_m: _Number | None = None,
        columns: Sequence[str] | None = None,
        types: dict[str, object] | None = None,
        geometry: str | None = None,
        metadata: str | None = None,
        batch_size: SupportsIndex | None = None,
    ) -> ArrowResult: ...
    def append(
        self,
        data: object,
        latitude: str | None = None,
        longitude: str | None = None,
        geometry: str | None = None,
        columns: Sequence[str] | None = None,
    ) -> tuple[int, int]: ...

def read_features(
    data: bytes,
    first_number: int | None = 1,
    first_line: int | None = 1,
    lines: bool | None = False,
    height_key: str | None = None,
) -> ArrowResult | None: ...
def screened(data: bytes, /) -> bool: ...
