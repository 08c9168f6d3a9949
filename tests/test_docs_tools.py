"""The documentation's own tools: the internal-link check, the layout check in a
browser, the intersphinx inventories written for an offline build, and the
examples' reduced sizes."""

import importlib
import importlib.util
import json
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "docs"))
sys.path.insert(0, str(ROOT / "docs" / "_ext"))

import check_layout  # noqa: E402
import check_links  # noqa: E402
import inventories  # noqa: E402

from test_examples import DRAWING, load_example  # noqa: E402


def write(root, name, body):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"<html><body>{body}</body></html>")


def test_check_links_finds_each_kind_of_broken_link(tmp_path):
    write(tmp_path, "index.html", '<a href="api/page.html#good">ok</a>'
          '<a href="api/page.html#gone">anchor</a><a href="missing.html">file</a>'
          '<a href="https://numpy.org/doc/">other site</a><a href="api/">folder</a>'
          '<img src="_images/picture.png"><a href="#top" id="top">self</a>'
          '<a href="../outside.html">outside</a>')
    write(tmp_path, "api/page.html", '<h1 id="good">page</h1><a href="../index.html#top">up</a>'
          '<span name="named"></span><a href="#named">named anchor</a>')
    write(tmp_path, "api/index.html", "")
    count, broken = check_links.broken_links(tmp_path)
    found = {(path.name, link, reason) for path, link, reason in broken}
    assert count == 3
    assert found == {("index.html", "api/page.html#gone", "no such anchor"),
                     ("index.html", "missing.html", "no such file"),
                     ("index.html", "_images/picture.png", "no such file"),
                     ("index.html", "../outside.html", "points outside the site")}


def test_check_links_passes_a_sound_site(tmp_path):
    write(tmp_path, "index.html", '<a href="a%20b.html#x">space</a>')
    write(tmp_path, "a b.html", '<p id="x"></p>')
    assert check_links.broken_links(tmp_path) == (2, [])


# A page laid out as the site's pages are: an article of 736 px (the text column).
ARTICLE = '<article style="max-width:736px;font:16px sans-serif">{}</article>'
WIDE_CODE = "<pre style='font:13px monospace'>" + "x" * 120 + "</pre>"
LAYOUT = {
    "code wider than its box": (WIDE_CODE, "code block", (1280, 600)),
    "table wider than the column": ("<table><tr>" + "<td>cell_of_a_table</td>" * 60
                                    + "</tr></table>", "table", (1280,)),
    "number broken after its hyphen": ("<table style='width:30px'><tr><td>6e-16</td>"
                                       "</tr></table>", "broken number", (1280, 600)),
    "name broken inside a word": ("<table style='width:60px'><tr><td><code style="
                                  "'overflow-wrap:anywhere'>ConvergenceError</code></td>"
                                  "</tr></table>", "broken name", (1280, 600)),
    # Requested (and refused) as the page loads, once, at the first width.
    "a script from another machine": ('<script src="https://cdn.example.org/x.js"></script>',
                                      "request leaving the machine", (1280,)),
    "a page wider than a narrow window": ('<div style="width:900px">wide</div>',
                                          "page wider than the window", (600,)),
}


@pytest.fixture(scope="module")
def browser():
    if not any(map(check_layout.shutil.which, ("chromium", "chromium-browser",
                                                "google-chrome"))):
        pytest.skip("no Chromium (scripts/install-system-deps screenshots)")
    opened = check_layout.Browser(check_layout.chromium())
    yield opened
    opened.close()


@pytest.mark.parametrize("case", list(LAYOUT))
def test_check_layout_finds_each_kind_of_fault(tmp_path, browser, case):
    body, kind, widths = LAYOUT[case]
    write(tmp_path, "page.html", ARTICLE.format(body))
    faults = check_layout.check(tmp_path, [tmp_path / "page.html"], browser, [1280, 600])
    found = {width for (_, width), items in faults.items()
             if any(item[0] == kind for item in items)}
    assert found == set(widths), faults


def test_check_layout_passes_a_sound_page(tmp_path, browser):
    write(tmp_path, "page.html", ARTICLE.format(
        "<p>text</p><pre>short code</pre><table><tr><td>6e-16</td><td>"
        "<code>velmora.PauliSum</code></td></tr></table>"))
    assert check_layout.check(tmp_path, [tmp_path / "page.html"], browser, [1280, 600]) == {}


@pytest.mark.parametrize("project", sorted(inventories.BASES))
def test_inventories_read_back_as_sphinx_reads_them(tmp_path, project):
    from sphinx.util.inventory import InventoryFile

    inventories.write(tmp_path)
    base = inventories.BASES[project]
    loaded = InventoryFile.loads((tmp_path / f"{project}.inv").read_bytes(), uri=base)
    names = [name for name, _, _ in inventories.ENTRIES[project]()]
    assert len(names) == len(set(names)), "a name listed twice"
    found = {name for entries in loaded.data.values() for name in entries}
    assert found == set(names)
    for entries in loaded.data.values():
        for item in entries.values():
            assert item.uri.startswith(base) and " " not in item.uri


@pytest.mark.parametrize("name", DRAWING)
def test_reduced_sizes_are_no_larger_than_the_defaults(name, monkeypatch):
    module = load_example(name, monkeypatch)
    full = vars(module.argument_parser().parse_args([]))
    monkeypatch.setenv("VELMORA_EXAMPLE_SIZE", "reduced")
    reduced = vars(module.argument_parser().parse_args([]))
    assert reduced.keys() == full.keys()
    for key, value in reduced.items():
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            assert value <= full[key], key
        elif isinstance(value, list):
            assert len(value) <= len(full[key]) and max(value) <= max(full[key]), key
    json.dumps(reduced)  # what the picture's record holds


def test_reduced_sizes_refuse_unknown_arguments_and_values(monkeypatch):
    picture = load_example("_picture", monkeypatch)
    import argparse

    parser = argparse.ArgumentParser()
    parser.add_argument("--spins", type=int, default=16)
    with pytest.raises(ValueError, match=r"no argument \['spin'\]"):
        picture.reduce_sizes(parser, spin=8)
    monkeypatch.setenv("VELMORA_EXAMPLE_SIZE", "small")
    with pytest.raises(ValueError, match="VELMORA_EXAMPLE_SIZE must be"):
        picture.reduce_sizes(parser, spins=8)


def reference_entries():
    """{module: names} of the autosummary tables of docs/api/index.rst."""
    entries, module, in_table = {}, None, False
    for line in (ROOT / "docs" / "api" / "index.rst").read_text().splitlines():
        if line.startswith(".. currentmodule::"):
            module = line.split("::")[1].strip()
        elif line.startswith(".. autosummary::"):
            in_table = True
        elif in_table and line.startswith("   ") and not line.strip().startswith(":"):
            entries.setdefault(module, set()).add(line.strip())
        elif in_table and line and not line.startswith(" "):
            in_table = False
    return entries


@pytest.mark.parametrize("module", ["velmora", "velmora.models", "velmora.mpi",
                                    "velmora.quasi_magnus"])
def test_every_public_name_has_a_reference_entry(module):
    imported = importlib.import_module(module)
    public = {name for name in getattr(imported, "__all__", [])
              if not type(getattr(imported, name)).__name__ == "module"}
    assert hasattr(imported, "__all__"), f"{module} does not say what is public (__all__)"
    assert public == reference_entries().get(module, set())
