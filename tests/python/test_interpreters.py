"""One abi3 wheel serves every CPython from 3.11 on."""

import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

VERSIONS = ["3.11", "3.12", "3.13"]


def find_interpreter(version):
    """A working python{version} with pip: on PATH, among pyenv's installed
    versions, or the one running the tests (the project environment's).
    Debian's own interpreter has pip only with python3-pip."""
    candidates = [shutil.which(f"python{version}")]
    pyenv_root = os.environ.get("PYENV_ROOT", str(Path.home() / ".pyenv"))
    candidates += sorted(glob.glob(f"{pyenv_root}/versions/{version}.*/bin/python{version}"))
    candidates.append(sys.executable)
    for candidate in filter(None, candidates):
        probe = subprocess.run([candidate, "-c", "import sys, pip; print(sys.version_info[:2])"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == str(tuple(map(int, version.split(".")))):
            return candidate
    return None


@pytest.mark.parametrize("version", VERSIONS)
def test_the_same_wheel_imports_and_works(version, tmp_path):
    wheel = os.environ.get("QUILLMERE_WHEEL")
    if not wheel:
        pytest.skip("QUILLMERE_WHEEL names the built wheel (set by `make test`)")
    assert Path(wheel).name.endswith("-cp311-abi3-linux_x86_64.whl"), wheel
    interpreter = find_interpreter(version)
    if interpreter is None:
        pytest.skip(f"no CPython {version} on this machine")
    target = tmp_path / "site"
    install = subprocess.run(
        [interpreter, "-m", "pip", "install", "--quiet", "--no-deps", "--target", str(target), wheel],
        capture_output=True, text=True)
    assert install.returncode == 0, install.stderr
    script = ("import sys, quillmere\ndb = quillmere.DBEngine(sys.argv[1])\ndb.insert('a', {'v': 1})\n"
              "db.close_engine()\nprint(quillmere.DBEngine.__name__, quillmere.__file__)\n")
    run = subprocess.run([interpreter, "-c", script, str(tmp_path / "db")],
                         capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(target)})
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("DBEngine ")
    assert str(target) in run.stdout
