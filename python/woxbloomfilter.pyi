"""A Bloom filter for the rows of NumPy arrays.

Every method takes its arguments by position only: the extension registers no
argument names, so a keyword call fails at run time. Integer arguments take
int, bool and NumPy integers (anything with ``__index__``), never floats.
"""

from collections.abc import Buffer, Callable
from typing import Any, SupportsIndex

from numpy.typing import NDArray

class bloomfilter:
    """A Bloom filter: k bit positions per row in a vector of m bits.

    A new filter has k = 0 and m = 0; ``configure`` sizes it. A row is the raw
    bytes of its elements, so dtype, byte order and the sign of a zero count.
    """

    def __init__(self) -> None:
        """An empty filter with k = 0 and m = 0, to be sized by ``configure``."""

    def configure(self, k: SupportsIndex, m: SupportsIndex, /) -> None:
        """Set k bit positions per row and m bits, all of them clear.

        Any k and m from 0 to 2**64 - 1 are taken. Raises ValueError for an m
        above 2**63 - 64 and MemoryError when m bits cannot be allocated; the
        filter then keeps its former k, m and bits.
        """

    def insert(self, a: NDArray[Any], /) -> None:
        """Insert every row of ``a``: the bytes of ``a[r, c, 0, ...]`` for each
        column c. An array with rows needs two dimensions or more (IndexError
        otherwise); one without rows inserts nothing.

        Raises ValueError, before any bit changes, for k above 4096, for k of 1
        or more with m = 0 and for a row longer than 2**31 - 1 bytes.
        """

    def test(self, a: NDArray[Any], /) -> list[bool]:
        """One answer per row of ``a``: False if the row was surely never
        inserted, True if it may have been. With k = 0 every row tests True.

        Refuses the same filters and rows as ``insert``.
        """

    def insert_along(self, a: NDArray[Any], axis: SupportsIndex, /) -> None:
        """The same as ``insert(a)``: ``axis`` is ignored, but must fit a
        32-bit signed integer (TypeError otherwise)."""

    def dbg_getrow(self, a: NDArray[Any], row: SupportsIndex, /) -> list[int]:
        """The bytes that row ``row`` of ``a`` contributes to its hash, as
        integers from 0 to 255. Raises IndexError for a row out of range,
        negative ones included."""

    def dbg_gethex(self, a: NDArray[Any], row: SupportsIndex, /) -> str:
        """The bytes of ``dbg_getrow`` in lower-case hexadecimal, each without
        its leading zero and all run together: [0, 10, 255] reads "0aff"."""

    def to_bytes(self) -> bytes:
        """The m bits packed eight to a byte, least significant bit first:
        (m + 7) // 8 bytes with no header. k and m travel beside them."""

    def from_bytes(self, data: bytes, k: SupportsIndex, m: SupportsIndex, /) -> None:
        """Replace this filter by k, m and the bits of ``data`` (the form of
        ``to_bytes``). Short data leaves the remaining bits clear; surplus
        bytes are ignored. k and m must be from 0 to 2**64 - 1 (TypeError
        otherwise). A failed call leaves the filter exactly as it was."""

    def __getstate__(self) -> tuple[int, int, bytes]:
        """The pickle state (k, m, byte form)."""

    def __setstate__(self, state: tuple[SupportsIndex, SupportsIndex, Buffer], /) -> None:
        """Load a pickle state (k, m, byte form) into an object made by
        ``bloomfilter.__new__``; on a filter that already exists it does
        nothing. The byte form may be any C-contiguous buffer (BufferError
        otherwise) and is read whole."""

    def __reduce__(self) -> tuple[Callable[..., bloomfilter], tuple[type[bloomfilter]], tuple[int, int, bytes]]:
        """What pickle protocols 0 and 1 call: the same state as protocols 2
        and up, rebuilt through ``copyreg.__newobj__`` and ``__setstate__``."""

    def union(self, other: bloomfilter, /) -> None:
        """Set every bit that is set in ``other`` (bitwise OR), in place.
        Raises RuntimeError unless both filters have the same k and m."""

    def intersect(self, other: bloomfilter, /) -> None:
        """Keep only the bits also set in ``other`` (bitwise AND), in place.
        Raises RuntimeError unless both filters have the same k and m."""

    def get_k(self) -> int:
        """The number of bit positions per row."""

    def get_m(self) -> int:
        """The number of bits."""
