"""Every Python block of README.md runs as written: each as a script of its
own, in a fresh process and an empty folder, as a reader would paste it.
Blocks that start a cluster start a local one themselves, and a script file
lets their worker processes import it as they would a reader's. A block that
imports a package this interpreter lacks (Dask or fsspec, which are not
dependencies) is skipped: .venv has them all."""
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


def python_blocks():
    """(section, n-th block in it) -> code, for every ```python block."""
    blocks, section, count = {}, "top", 0
    for match in re.finditer(r"^(#+) ([^\n]+)$|^```python\n([\s\S]*?)^```$", README.read_text(), re.M):
        if match[1]:
            section, count = match[2].strip("`"), 0
        else:
            count += 1
            blocks[f"{section} {count}"] = match[3]
    return blocks


BLOCKS = python_blocks()


def missing_packages(code):
    imported = re.findall(r"^\s*(?:import|from) (\w+)", code, re.M)
    return [name for name in dict.fromkeys(imported) if importlib.util.find_spec(name) is None]


@pytest.mark.parametrize("name", BLOCKS)
def test_readme_block_runs(name, tmp_path):
    if missing := missing_packages(BLOCKS[name]):
        pytest.skip(f"needs {', '.join(missing)}, not installed here")
    script = tmp_path / "example.py"
    script.write_text(BLOCKS[name])
    # A relative PYTHONPATH (the sanitized build's) must hold in the new folder.
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(paths)} if paths else dict(os.environ)
    out = subprocess.run(
        [sys.executable, script.name], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300
    )
    assert out.returncode == 0, out.stdout + out.stderr
