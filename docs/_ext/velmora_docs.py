"""What velmora's pages need beyond Sphinx's own extensions.

- Every code block of a Markdown page that starts with `>>>` runs under the
  doctest builder, as `.. doctest::` blocks do in reStructuredText: one
  namespace per page, so a page reads (and runs) as one session.
- The gallery's command lines: each example writes its picture and parameters
  into a scratch folder, never into the source tree.
"""

import pathlib
import tempfile

from docutils import nodes

_SCRATCH = pathlib.Path(tempfile.mkdtemp(prefix="velmora-gallery-"))


def gallery_argv(gallery_conf, script_vars):
    """The arguments the gallery runs an example with (sizes come from the
    VELMORA_EXAMPLE_SIZE environment variable, read by the examples)."""
    return ["--out", str(_SCRATCH / pathlib.Path(script_vars["src_file"]).stem)]


def _mark_doctests(app, doctree):
    for block in doctree.findall(nodes.literal_block):
        if "testnodetype" in block or not block.astext().lstrip().startswith(">>>"):
            continue
        block["testnodetype"] = "doctest"
        block["groupname"] = "default"
        block["options"] = {}
        block["language"] = "pycon"


def setup(app):
    app.connect("doctree-read", _mark_doctests)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
