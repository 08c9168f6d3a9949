"""Runs every row of the table of refused input on the documentation's limits
page (docs/concepts/limits.md): the call must raise the listed exception with
the listed message (TypeError messages: as a prefix, since the accepted
signatures follow)."""

import builtins
import pathlib
import numpy as np
import pytest

from _velmora import Hamiltonian, PauliWord, evolve

PAGE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "concepts" / "limits.md"


def table_rows():
    text = PAGE.read_text()
    block = text.split("<!-- bad-input-table:start -->")[1].split("<!-- bad-input-table:end -->")[0]
    rows = []
    for line in block.strip().splitlines()[2:]:
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        call, exc, message = cells
        if not call.startswith("`"):
            continue  # described, not runnable (checked by test_memory_exhaustion.py)
        rows.append((call.strip("`"), exc.strip("`"), message.strip("`")))
    return rows


def test_table_covers_every_refusal_kind():
    kinds = {exc for _, exc, _ in table_rows()}
    assert kinds == {"TypeError", "ValueError", "AttributeError"}
    assert len(table_rows()) >= 20


@pytest.mark.parametrize("call, exc, message", table_rows(), ids=[r[0] for r in table_rows()])
def test_row(call, exc, message):
    namespace = {
        "Hamiltonian": Hamiltonian, "PauliWord": PauliWord, "evolve": evolve, "np": np,
        "ham3": Hamiltonian([PauliWord(1.0, "XIZ"), PauliWord(0.5, "ZYI")]),
        "psi8": np.ones(8, dtype=complex), "w": PauliWord(1.0, "XZ"),
    }
    expected = getattr(builtins, exc)
    with pytest.raises(expected) as info:
        eval(call, namespace)
    assert type(info.value) is expected
    if exc == "TypeError":
        assert str(info.value).startswith(message)
    else:
        assert str(info.value) == message
