import os
import pathlib

import pytest
from hypothesis import HealthCheck, settings
from hypothesis.database import DirectoryBasedExampleDatabase

# Under the address sanitizer a failed allocation aborts the process instead
# of throwing bad_alloc, so cases that expect MemoryError cannot run there.
SANITIZED = bool(os.environ.get("WOX_SANITIZE"))

# Property tests run a few seconds each with the default profile; the sanitizer
# build and the run under emulation (make test-aarch64, which selects it through
# WOX_HYPOTHESIS_PROFILE) are many times slower, so they get the small one;
# make fuzz selects the large profile and sizes each of its rounds with
# WOX_FUZZ_EXAMPLES. The property tests scale their example counts from
# max_examples. Failing examples are kept under build/ and tried first on the
# next run.
_COMMON = dict(
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    database=DirectoryBasedExampleDatabase(pathlib.Path(__file__).parents[1] / "build" / "hypothesis"),
)
settings.register_profile("default", max_examples=200, **_COMMON)
settings.register_profile("small", max_examples=15, **_COMMON)
settings.register_profile(
    "fuzz", max_examples=int(os.environ.get("WOX_FUZZ_EXAMPLES", 1000)), print_blob=True, **_COMMON
)
settings.load_profile(os.environ.get("WOX_HYPOTHESIS_PROFILE") or ("small" if SANITIZED else "default"))


# The wheel and its type stubs are about packaging, not the native code: the
# sanitizer run leaves them to the normal one.
PACKAGING = {"test_wheel.py", "test_stubs.py"}


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    no_memory = pytest.mark.skip(reason="the address sanitizer aborts on a failed allocation")
    packaging = pytest.mark.skip(reason="packaging is tested against the normal build")
    for item in items:
        params = getattr(item, "callspec", None)
        if params and any(value is MemoryError for value in params.params.values()):
            item.add_marker(no_memory)
        if item.path.name in PACKAGING:
            item.add_marker(packaging)
