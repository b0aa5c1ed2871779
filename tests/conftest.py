import os

import pytest

# Under the address sanitizer a failed allocation aborts the process instead
# of throwing bad_alloc, so cases that expect MemoryError cannot run there.
SANITIZED = bool(os.environ.get("WOX_SANITIZE"))


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="the address sanitizer aborts on a failed allocation")
    for item in items:
        params = getattr(item, "callspec", None)
        if params and any(value is MemoryError for value in params.params.values()):
            item.add_marker(skip)
