"""The installed stub (_velmora-stubs) lets mypy check user code."""

import pathlib
import subprocess
import sys


HERE = pathlib.Path(__file__).resolve().parent / "typing"


def mypy(path):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null",
         str(path)],
        capture_output=True, text=True, cwd=HERE)


def test_stub_is_installed_next_to_the_module():
    import _velmora

    stubs = pathlib.Path(_velmora.__file__).parent / "_velmora-stubs" / "__init__.pyi"
    assert stubs.is_file()
    text = stubs.read_text()
    assert "def evolve(ham: Hamiltonian" in text and "class PauliWord" in text


def test_user_script_type_checks():
    result = mypy(HERE / "user_script.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_reported():
    result = mypy(HERE / "misuse.py")
    assert result.returncode == 1
    lines = [l for l in result.stdout.splitlines() if ": error:" in l]
    reported = sorted({int(l.split(":")[1]) for l in lines})
    assert reported == [5, 6, 7, 8], result.stdout
