"""What velmora's pages need beyond Sphinx's own extensions.

- Every code block of a Markdown page that starts with `>>>` runs under the
  doctest builder, as `.. doctest::` blocks do in reStructuredText: one
  namespace per page, so a page reads (and runs) as one session.
- The reference pages' examples come from the docstrings, which run as
  doctests in their modules too: they get what those modules have (NumPy as
  np, velmora's public names and models), set up on every reference page.
- A name in single backquotes (the default role) links to the documented
  object it names, found by its last dotted parts when the docstring's module
  imports it under a shorter name (`EvolveResult` in `velmora.mpi`), and is
  set as code when it names no documented object (a parameter, a field).
  Explicit roles stay strict: a broken one is a build error.
- In the narrative pages (Markdown), code that is exactly the name of a
  documented object (`velmora.evolve`, `PauliSum.apply`, `Sector`) links
  to its reference page; a trailing "()" is allowed.
- MathJax is served from the site itself (the files of the PyPI package
  django-static-mathjax), so that formulas render without a network.
- The gallery's command lines: each example writes its picture and parameters
  into a scratch folder, never into the source tree.
- Code in a table may break after a dot, a comma, an opening bracket or an equals
  sign (``spin_basis_1d(L,<wbr> Nup=...)``), never inside a name, so that the
  side-by-side tables fit the text column.
- The navigation may break a dotted name after a dot (``velmora.mpi.<wbr>evolve``)
  and nowhere else: the sidebar is too narrow for the longest names on one line.
"""

import pathlib
import re
import shutil
import tempfile

from docutils import nodes

_SCRATCH = pathlib.Path(tempfile.mkdtemp(prefix="velmora-gallery-"))


def gallery_argv(gallery_conf, script_vars):
    """The arguments the gallery runs an example with (sizes come from the
    VELMORA_EXAMPLE_SIZE environment variable, read by the examples). Every
    example writes NAME.png and NAME.json, so they share one folder (whose path
    each prints: short enough for the output's box)."""
    return ["--out", str(_SCRATCH)]


_REFERENCE_SETUP = "import numpy as np\nfrom velmora import *\nfrom velmora.models import *"


def _mark_doctests(app, doctree):
    if app.env.docname.startswith("api/"):
        setup = nodes.comment(_REFERENCE_SETUP, _REFERENCE_SETUP)
        setup["testnodetype"] = "testsetup"
        setup["groups"] = ["default"]
        doctree.append(setup)
    for block in doctree.findall(nodes.literal_block):
        if "testnodetype" in block or not block.astext().lstrip().startswith(">>>"):
            continue
        block["testnodetype"] = "doctest"
        block["groupname"] = "default"
        block["options"] = {}
        block["language"] = "pycon"


def _resolve_default_role(app, env, node, contnode):
    if node.get("refdomain") != "py" or node.get("reftype") != "obj":
        return None
    target = node["reftarget"].lstrip("~.")
    objects = env.get_domain("py").objects
    suffix = "." + target
    matches = sorted(name for name in objects if name == target or name.endswith(suffix))
    if len(matches) == 1:
        from sphinx.util.nodes import make_refnode
        entry = objects[matches[0]]
        return make_refnode(app.builder, node["refdoc"], entry.docname, entry.node_id,
                            contnode, matches[0])
    return nodes.literal(node.astext(), node.astext())


def _mathjax_source():
    import mathjax  # django-static-mathjax: MathJax 3 under mathjax/static/mathjax

    return pathlib.Path(mathjax.__file__).resolve().parent / "static" / "mathjax" / "es5"


def _copy_mathjax(app, exception):
    if exception is not None or app.builder.format != "html":
        return
    source, target = _mathjax_source(), pathlib.Path(app.outdir) / "_static" / "mathjax"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy2(source / "tex-chtml.js", target / "tex-chtml.js")
    fonts = pathlib.Path("output") / "chtml" / "fonts" / "woff-v2"
    shutil.copytree(source / fonts, target / fonts, dirs_exist_ok=True)


def _link_code_names(app, doctree, docname):
    if docname.startswith(("api/", "auto_examples/")) or not app.builder.format == "html":
        return
    from sphinx.util.nodes import make_refnode

    objects = app.env.get_domain("py").objects
    for literal in list(doctree.findall(nodes.literal)):
        if isinstance(literal.parent, (nodes.reference, nodes.literal_block)) or \
                "xref" in literal.get("classes", []):
            continue
        text = literal.astext()
        name = text[:-2] if text.endswith("()") else text
        if not name.replace(".", "").replace("_", "").isalnum():
            continue
        target = name if name in objects else f"velmora.{name}"
        if target not in objects or objects[target].aliased:
            continue
        entry = objects[target]
        literal.replace_self(make_refnode(app.builder, docname, entry.docname, entry.node_id,
                                          literal.deepcopy(), target))


# Where code in a table may break: after . , ( [ = when a word follows.
_CODE_BREAK = re.compile(r"(?<=[.,(\[=])(?=[\w\[(\"'*-])")


# A number with a sign or an exponent ("6e-16", "-0.5", "(1e-13)"): browsers may
# break a line after its hyphen, so in tables it is kept on one line.
_SIGNED_NUMBER = re.compile(r"(\S*\d[^\s\d]*[-\u2212+]\S*|\S*[-\u2212+]\d\S*)")


def _ancestors(node):
    while node.parent is not None:
        node = node.parent
        yield node


def _table_code_breaks(app, doctree, docname):
    if app.builder.format != "html":
        return
    for table in doctree.findall(nodes.table):
        for text in list(table.findall(nodes.Text)):
            if not _SIGNED_NUMBER.search(str(text)) or any(
                    isinstance(node, (nodes.literal, nodes.raw, nodes.math))
                    for node in _ancestors(text)):
                continue
            pieces = []
            for i, part in enumerate(_SIGNED_NUMBER.split(str(text))):
                if i % 2:
                    pieces.append(nodes.inline(part, part, classes=["nobr"]))
                elif part:
                    pieces.append(nodes.Text(part))
            text.parent.replace(text, pieces)
        for literal in list(table.findall(nodes.literal)):
            for text in list(literal.findall(nodes.Text)):
                parts = _CODE_BREAK.split(str(text))
                if len(parts) == 1:
                    continue
                pieces = []
                for i, part in enumerate(parts):
                    if i:
                        pieces.append(nodes.raw("", "<wbr>", format="html"))
                    pieces.append(nodes.Text(part))
                text.parent.replace(text, pieces)


# The text of a link: a break opportunity after each dot between two name parts.
_LINK_TEXT = re.compile(r"(<a [^>]*>)([^<]+)(</a>)")
_DOT = re.compile(r"(?<=\w)\.(?=\w)")


def _break_after_dots(html):
    return _LINK_TEXT.sub(lambda m: m[1] + _DOT.sub(".<wbr>", m[2]) + m[3], html)


def _navigation_breaks(app, pagename, templatename, context, doctree):
    for key in ("furo_navigation_tree", "toc"):
        if isinstance(context.get(key), str):
            context[key] = _break_after_dots(context[key])


def _drop_modules_without_source(app):
    """The [source] pages: viewcode's index lists every module it looked at, also
    those without Python source (the compiled `_velmora`), whose page it does not
    write; they are dropped before the pages are collected."""
    modules = getattr(app.env, "_viewcode_modules", {})
    for name in [name for name, entry in modules.items() if not entry]:
        del modules[name]
    return []


def setup(app):
    # After the theme has computed its navigation tree (priority 500).
    app.connect("html-page-context", _navigation_breaks, priority=900)
    # Before sphinx.ext.viewcode writes its pages (priority 500).
    app.connect("html-collect-pages", _drop_modules_without_source, priority=400)
    app.connect("doctree-resolved", _link_code_names)
    app.connect("doctree-resolved", _table_code_breaks, priority=600)
    app.connect("build-finished", _copy_mathjax)
    app.connect("doctree-read", _mark_doctests)
    app.connect("missing-reference", _resolve_default_role)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
