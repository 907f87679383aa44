# Type information for the native module Vorlant.tavrel_ext.

import struct as struct
import zlib as zlib
from collections.abc import Buffer, Iterable, Mapping
from io import BytesIO as BytesIO
from pathlib import Path as Path

# List, Sequence, Tuple and Union are typing's own objects, which the module binds.
from typing import (  # noqa: UP035
    Final,
    List as List,
    NoReturn,
    Protocol,
    Self,
    Sequence as Sequence,
    SupportsIndex,
    SupportsInt,
    Tuple as Tuple,
    TypeAlias,
    Union as Union,
    type_check_only,
)

from _typeshed import FileDescriptorOrPath
from typing_extensions import disjoint_base

@type_check_only
class _Readable(Protocol):
    def read(self, n: int, /) -> bytes: ...

@type_check_only
class _ReadableSeekable(Protocol):
    def read(self, n: int, /) -> bytes: ...
    def seek(self, position: int, /) -> object: ...

@type_check_only
class _HeaderValues(Protocol):
    def get(self, key: str, default: int, /) -> int: ...

# What the constructor and the writers accept as a byte buffer: anything with a
# length that bytearray() takes (bytes, bytearray, memoryview, a list of 0..255).
_Bytes: TypeAlias = Buffer | Sequence[int]
# Width and height: an int, or anything with __int__ (a float is truncated).
_Dimension: TypeAlias = SupportsInt | SupportsIndex
# One chunk of a PNG source: type, data (None for IDAT) and data length.
_Chunk: TypeAlias = tuple[bytes, bytes | None, int]
# The BMP header values: "xppm", "yppm", "clrUsed", "clrImportant".
_BmpHeader: TypeAlias = dict[str, int]
# What _streamToImage returns: width, height, pixels, channels, alpha, chunks,
# BMP header values, row filter types.
_DecoderResult: TypeAlias = tuple[
    int,
    int,
    bytearray,
    int,
    bytearray | None,
    list[_Chunk] | None,
    _BmpHeader | None,
    bytearray | None,
]

PNG_SIGNATURE: Final = b"\x89PNG\r\n\x1a\n"

# A C type with its own instance layout: it cannot share a subclass with another such base.
@disjoint_base
class Tavrel:
    def __new__(
        cls,
        width: _Dimension,
        height: _Dimension,
        pixels: _Bytes,
        alpha: _Bytes | None = None,
        png_chunks: Iterable[_Chunk] | None = None,
        bmp_header: Mapping[str, int] | Iterable[tuple[str, int]] | None = None,
        png_filters: _Bytes | None = None,
    ) -> Self: ...
    @property
    def size(self) -> tuple[int, int]: ...
    @property
    def width(self) -> int: ...
    @width.setter
    def width(self, value: _Dimension) -> None: ...
    @property
    def height(self) -> int: ...
    @height.setter
    def height(self, value: _Dimension) -> None: ...
    @property
    def _pixels(self) -> bytearray | None: ...
    @_pixels.setter
    def _pixels(self, value: bytearray | None) -> None: ...
    _alpha: bytearray | None
    _png_chunks: list[_Chunk] | None
    _png_filters: bytearray | None
    _bmp_header: _BmpHeader | None
    @staticmethod
    def _streamToImage(stream: _ReadableSeekable) -> _DecoderResult: ...
    @classmethod
    def open(cls, source: ImageInput) -> Tavrel: ...
    def getPixel(self, coords: tuple[int, int]) -> tuple[int, int, int]: ...
    def putPixel(self, coords: tuple[int, int], value: Iterable[int]) -> None: ...
    def copy(self) -> Tavrel: ...
    def save(self, path: str) -> None: ...
    def saveBmp(self, path: str) -> None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

ImageInput: TypeAlias = Union[str, Path, bytes, bytearray, Tavrel]  # noqa: UP007 - the module's own alias is a typing.Union

def _readChunk(stream: _Readable) -> tuple[bytes, bytes]: ...
def _makeChunk(chunkType: bytes, data: bytes) -> bytes: ...
def _writePng(
    path: FileDescriptorOrPath,
    width: _Dimension,
    height: _Dimension,
    pixels: _Bytes,
    alpha: bytearray | None = None,
    filter_types: bytearray | None = None,
) -> None: ...
def _split_idat_payload(data: bytes, lengths: list[int]) -> list[bytes]: ...
def _writePngWithChunks(
    path: FileDescriptorOrPath,
    width: _Dimension,
    height: _Dimension,
    pixels: _Bytes,
    alpha: bytearray | None,
    chunks: Sequence[_Chunk] | None,
    filter_types: bytearray | None = None,
) -> None: ...
def _writeBmp(
    path: FileDescriptorOrPath,
    width: _Dimension,
    height: _Dimension,
    pixels: _Bytes,
    meta: _HeaderValues | None = None,
) -> None: ...
