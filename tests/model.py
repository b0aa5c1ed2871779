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


def hash_pair(data: bytes) -> tuple[int, int]:
    digest = mmh3.hash_bytes(data, SEED, x64arch=False)
    return int.from_bytes(digest[:8], "little"), int.from_bytes(digest[8:], "little")


def positions(data: bytes, k: int, m: int) -> list[int]:
    h1, h2 = hash_pair(data)
    return [((h1 + j * h2) & MASK64) % m for j in range(1, k + 1)]


class Model:
    def __init__(self, k: int, m: int):
        self.k, self.m = k, m
        self.bits = np.zeros(m, dtype=bool)

    def insert(self, a: np.ndarray) -> None:
        for r in range(a.shape[0]):
            self.bits[positions(row_bytes(a, r), self.k, self.m)] = True

    def test(self, a: np.ndarray) -> list[bool]:
        return [bool(self.bits[positions(row_bytes(a, r), self.k, self.m)].all()) for r in range(a.shape[0])]

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
