# The companion's native helper (src/tools/module.cpp).
from typing import Any

import numpy as np
from numpy.typing import NDArray

LAYOUT_VERSION: int
DIGEST_SEED: int

def rows_of_stream(capsule: object, key: tuple[str, ...] | None, /) -> tuple[NDArray[np.uint8], list[tuple[str, str]]]: ...
def rows_of_array(
    schema: object, array: object, key: tuple[str, ...] | None, /
) -> tuple[NDArray[np.uint8], list[tuple[str, str]]]: ...
def mask(answers: list[Any], /) -> NDArray[np.bool_]: ...
