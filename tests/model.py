"""An independent model of where the filter puts a row's bits.

It shares no code with the module: row bytes come from NumPy slicing (which
keeps the dtype's byte order and follows any layout), the hash from the mmh3
package, and the bits live in a plain NumPy bool array.
"""
import mmh3
import numpy as np

SEED = 0xFFFEA282
MASK64 = 2**64 - 1


def row_bytes(a: np.ndarray, r: int) -> bytes:
    """The bytes of element [r, c, 0, ...] for each column c, in order."""
    lead = (slice(0, 1),) * (a.ndim - 2)
    return b"".join(a[(slice(r, r + 1), slice(c, c + 1)) + lead].tobytes() for c in range(a.shape[1]))


def all_row_bytes(a: np.ndarray) -> list[bytes]:
    """row_bytes of every row, from one C-ordered copy of the elements [:, :, 0, ...].

    The copy is made of raw items (a void view): NumPy copies structured items
    field by field and would not carry their padding bytes."""
    if a.shape[0] == 0:
        return []
    if a.itemsize == 0:
        return [b""] * a.shape[0]
    raw = a.view(np.dtype((np.void, a.itemsize)))
    data = raw[(slice(None), slice(None)) + (slice(0, 1),) * (a.ndim - 2)].tobytes()
    length = len(data) // a.shape[0]
    return [data[r * length : (r + 1) * length] for r in range(a.shape[0])]


def hash_pair(data: bytes) -> tuple[int, int]:
    digest = mmh3.hash_bytes(data, SEED, x64arch=False)
    return int.from_bytes(digest[:8], "little"), int.from_bytes(digest[8:], "little")


def positions(data: bytes, k: int, m: int) -> list[int]:
    h1, h2 = hash_pair(data)
    return [((h1 + j * h2) & MASK64) % m for j in range(1, k + 1)]


def row_positions(a: np.ndarray, k: int, m: int) -> np.ndarray:
    """positions() of every row of a, one row of k positions each (uint64 arithmetic wraps at 2**64)."""
    digests = b"".join(mmh3.hash_bytes(data, SEED, x64arch=False) for data in all_row_bytes(a))
    h = np.frombuffer(digests, dtype="<u8").reshape(-1, 2)
    j = np.arange(1, k + 1, dtype=np.uint64)
    return (h[:, :1] + j * h[:, 1:]) % np.uint64(max(m, 1))


class Model:
    def __init__(self, k: int, m: int):
        self.k, self.m = k, m
        self.bits = np.zeros(m, dtype=bool)

    def insert(self, a: np.ndarray) -> None:
        self.bits[row_positions(a, self.k, self.m).ravel()] = True

    def test(self, a: np.ndarray) -> list[bool]:
        return self.bits[row_positions(a, self.k, self.m)].all(axis=1).tolist()

    def to_bytes(self) -> bytes:
        return np.packbits(self.bits, bitorder="little").tobytes()

    @classmethod
    def from_bytes(cls, data: bytes, k: int, m: int) -> "Model":
        model = cls(k, m)
        bits = np.unpackbits(np.frombuffer(data, dtype=np.uint8), bitorder="little")[:m].astype(bool)
        model.bits[: len(bits)] = bits
        return model


def set_bits(data: bytes) -> list[int]:
    """Positions of the set bits of a byte form."""
    return np.flatnonzero(np.unpackbits(np.frombuffer(data, dtype=np.uint8), bitorder="little")).tolist()


class PackedModel:
    """Model with its bits packed eight to a byte, least significant first (the
    byte form itself), for filters too large for a bool per bit."""

    def __init__(self, k: int, m: int, data: bytes = b""):
        self.k, self.m = k, m
        self.bytes = np.zeros((m + 7) // 8, dtype=np.uint8)
        n = min(len(data), len(self.bytes))
        self.bytes[:n] = np.frombuffer(data, dtype=np.uint8, count=n)
        if m % 8 and n == len(self.bytes):
            self.bytes[-1] &= (1 << (m % 8)) - 1

    def insert(self, a: np.ndarray) -> None:
        p = row_positions(a, self.k, self.m).ravel()
        np.bitwise_or.at(self.bytes, p >> np.uint64(3), (np.uint64(1) << (p & np.uint64(7))).astype(np.uint8))

    def test(self, a: np.ndarray) -> list[bool]:
        p = row_positions(a, self.k, self.m)
        return ((self.bytes[p >> np.uint64(3)] >> (p & np.uint64(7)).astype(np.uint8)) & 1).all(axis=1).tolist()
