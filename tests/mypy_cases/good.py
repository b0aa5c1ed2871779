"""Correct use of woxbloomfilter and woxbloomfilter_tools: mypy --strict must
accept every line."""
import copy
import gzip
import io
import pickle
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import woxbloomfilter_tools as tools
from woxbloomfilter import bloomfilter

rows = np.arange(12, dtype=np.int64).reshape(4, 3)
f = bloomfilter()
f.configure(7, 19_170_117)
f.configure(np.uint8(3), True)  # NumPy integers and bools are integers
f.insert(rows)
f.insert_along(rows, 0)
answers: list[bool] = f.test(rows)
row: list[int] = f.dbg_getrow(rows, 0)
text: str = f.dbg_gethex(rows, np.int32(1))
data: bytes = f.to_bytes()
g = bloomfilter()
g.from_bytes(data, f.get_k(), f.get_m())
g.union(f)
g.intersect(f)
k, m, state = f.__getstate__()
total: int = k + m + len(state)
h = bloomfilter.__new__(bloomfilter)
h.__setstate__((k, m, bytearray(state)))
copies: list[bloomfilter] = [pickle.loads(pickle.dumps(f)), copy.deepcopy(f)]

sizes: tuple[int, int] = tools.parameters(2_000_000, 0.01)
sized: bloomfilter = tools.sized(np.int64(1000), np.float64(0.001))
rate: float = tools.expected_fpr(*sizes, 2_000_000)
share: float = tools.fill(sized)
count: float = tools.estimated_rows(sized)

tools.save(f, "filter.wbf")
tools.save(f, io.BytesIO())
with gzip.open("filter.wbf.gz", "wb") as packed:
    tools.save(f, packed)
loaded: list[bloomfilter] = [tools.load(Path("filter.wbf")), tools.load(open("filter.wbf", "rb"))]
stored: bytes = tools.dumps(f)
again: bloomfilter = tools.loads(memoryview(stored))
refusal: ValueError = tools.FormatError("checksum mismatch")



class Frame:
    """What a table library's frame offers: the Arrow stream export."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        raise NotImplementedError


table = Frame()
keyed = tools.KeyedFilter.sized(1000, 0.01, key=["user", "visits"])
keyed.insert(table)
seen: NDArray[np.bool_] = keyed.test(table)
layout: tools.KeyLayout | None = keyed.layout
names: tuple[str, ...] | None = keyed.key
keys: NDArray[np.uint8] = tools.key_rows(table, "user")
fresh = rows[~tools.mask(f.test(rows))]
keyed.union(tools.KeyedFilter.load(io.BytesIO(stored)))
keyed.save(io.BytesIO())


class Int64:
    """An Arrow type, as pyarrow's DataType exports one."""

    def __arrow_c_schema__(self) -> object:
        raise NotImplementedError


typed = tools.KeyedFilter(f, "user", types={"user": "string"})
typed = tools.KeyedFilter.sized(1000, 0.01, types={"user": "string", "visits": Int64()})
