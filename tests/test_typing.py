"""The installed stub (_velmora-stubs) and the package's inline annotations let
mypy check user code."""

import pathlib
import subprocess
import sys

import pytest


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


def test_package_ships_its_annotations():
    import velmora

    folder = pathlib.Path(velmora.__file__).parent
    assert (folder / "py.typed").is_file() and (folder / "_native.pyi").is_file()


@pytest.mark.parametrize("script", ["user_script.py", "package_script.py"])
def test_user_script_type_checks(script):
    result = mypy(HERE / script)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("script,lines", [("misuse.py", [5, 6, 7, 8]),
                                          ("package_misuse.py", [7, 8, 9, 10, 11, 12])])
def test_misuse_is_reported(script, lines):
    result = mypy(HERE / script)
    assert result.returncode == 1
    errors = [l for l in result.stdout.splitlines() if ": error:" in l]
    reported = sorted({int(l.split(":")[1]) for l in errors})
    assert reported == lines, result.stdout
