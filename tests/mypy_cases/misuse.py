"""Misuse that mypy must refuse: every line marked `# E: code` gives exactly
that error, and no other line gives one."""
import dask.array as da
import numpy as np

import woxbloomfilter_tools as tools
from woxbloomfilter import bloomfilter

rows = np.zeros((4, 3))
f = bloomfilter()
x: da.Array = da.zeros((100, 3), chunks=10)

f.configure(k=3, m=10)  # E: call-arg
f.configure(3.0, 10)  # E: arg-type
f.configure(3, None)  # E: arg-type
f.configure(3)  # E: call-arg
bloomfilter(5)  # E: call-arg
f.insert([[1, 2], [3, 4]])  # E: arg-type
f.insert(a=rows)  # E: call-arg
f.test(None)  # E: arg-type
f.insert_along(rows, 0.5)  # E: arg-type
f.dbg_getrow(rows, "0")  # E: arg-type
f.from_bytes(bytearray(b"\x01"), 1, 8)  # E: arg-type
f.from_bytes(b"\x01", 1, None)  # E: arg-type
f.union(None)  # E: arg-type
f.intersect(rows)  # E: arg-type
answers: list[int] = f.test(rows)  # E: assignment
text: bytes = f.dbg_gethex(rows, 0)  # E: assignment
k, m, data = f.__getstate__()
data + ""  # E: operator
f.__setstate__((1, 8, "ff"))  # E: arg-type

tools.parameters(1000.0, 0.01)  # E: arg-type
tools.parameters(1000, None)  # E: arg-type
tools.sized(n=1000, q=0.01)  # E: call-arg
tools.fill(rows)  # E: arg-type
tools.estimated_rows(None)  # E: arg-type
tools.dask_build(rows, 3, 100)  # E: call-overload
tools.dask_build(x, 3.5, 100)  # E: call-overload
built: int = tools.dask_build(x, 3, 100)  # E: assignment
tools.dask_test(f, rows)  # E: call-overload
answered: list[bool] = tools.dask_test(f, x)  # E: assignment

tools.save(f, 3)  # E: arg-type
tools.save("filter.wbf", f)  # E: arg-type
tools.load(b"stored")  # E: arg-type
tools.load(open("filter.txt"))  # E: arg-type
tools.loads("stored")  # E: arg-type
loaded: bytes = tools.load("filter.wbf")  # E: assignment

tools.key_rows([[1, 2]])  # E: arg-type
tools.key_rows(rows, key=3)  # E: arg-type
tools.KeyedFilter(rows)  # E: arg-type
kept: list[bool] = tools.KeyedFilter(f).test(rows)  # E: assignment
tools.KeyedFilter(f).union(f)  # E: arg-type
tools.KeyedFilter(f, None, {"user": "string"})  # E: call-arg
tools.KeyedFilter(f, types={"visits": int})  # E: dict-item
