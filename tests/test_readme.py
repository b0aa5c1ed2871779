"""Every example of README.md and of the pages in docs/ runs as written, as a
reader would paste it: each ```python block as a script of its own, each
```sh block with bash -e, in a fresh process and an empty folder. There
`python` and `woxbloom` are the interpreter running this test and its command
line. Blocks that start a cluster start a local one themselves, and a script
file lets their worker processes import it as they would a reader's.

A block that cannot run here carries `<!-- not run: why -->` on the line
before its fence and is skipped with that reason. A Python block that imports
a package this interpreter lacks (Dask or fsspec, which are not dependencies),
or a block that runs the command line without the `cli` extra, is skipped
too: .venv has them all. So is a Spark block without Java (under CI=true it
fails instead, as test_spark.py does) and under the sanitizer, whose
preloaded runtimes hang Spark's launch."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SHELLS = ("sh", "bash", "shell")
BLOCK = re.compile(r"^(#+) ([^\n]+)$|^(?:<!-- not run: (.+?) -->\n)?```(\w+)\n([\s\S]*?)^```$", re.M)
CLI_EXTRA = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]["cli"]


def examples():
    """'page: section n' -> (language, code, why it is not run), for every
    Python and shell block."""
    found = {}
    for page in PAGES:
        section, count = "top", 0
        for match in BLOCK.finditer(page.read_text()):
            hashes, title, why, language, code = match.groups()
            if hashes:
                section, count = title.strip("`"), 0
            elif language == "python" or language in SHELLS:
                count += 1
                found[f"{page.name}: {section} {count}"] = (language, code, why)
    return found


EXAMPLES = examples()


def missing_packages(language, code):
    needed = re.findall(r"^\s*(?:import|from) (\w+)", code, re.M) if language == "python" else []
    if re.search(r"\bwoxbloom\b", code):  # the command line, which needs its extra
        needed += [re.match(r"[\w-]+", requirement)[0] for requirement in CLI_EXTRA]
    return [name for name in dict.fromkeys(needed) if importlib.util.find_spec(name) is None]


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_runs(name, tmp_path):
    language, code, why = EXAMPLES[name]
    if why:
        pytest.skip(f"not run: {why}")
    if missing := missing_packages(language, code):
        pytest.skip(f"needs {', '.join(missing)}, not installed here")
    if re.search(r"^\s*(?:import|from) pyspark\b", code, re.M):
        if shutil.which("java") is None and os.environ.get("CI") != "true":
            pytest.skip("needs a Java runtime for Spark, and java is not on PATH")
        if os.environ.get("WOX_SANITIZE"):
            pytest.skip("Spark's launch hangs with the sanitizer runtimes preloaded")
    # A relative PYTHONPATH (the sanitized build's) must hold in the new folder.
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(paths)} if paths else dict(os.environ)
    folder = tmp_path / "example"
    folder.mkdir()
    if language == "python":
        (folder / "example.py").write_text(code)
        command = [sys.executable, "example.py"]
    else:
        commands = tmp_path / "bin"
        commands.mkdir()
        for program, arguments in {"python": "", "woxbloom": " -m woxbloomfilter_tools"}.items():
            (commands / program).write_text(f'#!/bin/sh\nexec "{sys.executable}"{arguments} "$@"\n')
            (commands / program).chmod(0o755)
        env["PATH"] = f"{commands}{os.pathsep}{env.get('PATH', '')}"
        command = ["bash", "-euo", "pipefail", "-c", code]
    out = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
