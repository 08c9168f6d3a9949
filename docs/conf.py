"""Sphinx configuration of velmora's documentation site (`make docs`)."""

import doctest
import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

# The gallery runs every example in this process: at reduced sizes unless the
# reader asks for the full ones (VELMORA_EXAMPLE_SIZE=full make docs).
os.environ.setdefault("VELMORA_EXAMPLE_SIZE", "reduced")

import velmora  # noqa: E402  (the installed package, not the source folder)

project = "velmora"
author = "the velmora developers"
copyright = "2026, the velmora developers"
release = velmora.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "sphinx.ext.intersphinx",
    "sphinx.ext.mathjax",
    "sphinx.ext.viewcode",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "sphinx_copybutton",
    "velmora_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "README.md", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.json", "auto_examples/*.md5",
                    "auto_examples/*.codeobj.json",
                    # Left in the source tree by builds before the gallery stopped
                    # writing computation times (see sphinx_gallery_conf).
                    "sg_execution_times.rst", "auto_examples/sg_execution_times.rst"]
templates_path = ["_templates"]
root_doc = "index"
# Code-heavy text: "--tol" stays two hyphens and quotes stay straight.
smartquotes = False

# Every cross-reference must resolve: a broken one is a build error (-W).
nitpicky = True

# A name in single backquotes links to its object when it names one and is set
# in italics otherwise (a parameter's name, say).
default_role = "autolink"

autosummary_generate = True
autosummary_imported_members = False
autodoc_default_options = {"members": True, "show-inheritance": True}
autodoc_typehints = "none"  # numpydoc's sections carry the types
autodoc_member_order = "groupwise"

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = True
numpydoc_xref_aliases = {
    "PauliSum": "velmora.PauliSum", "SectorOperator": "velmora.SectorOperator",
    "Sector": "velmora.Sector", "TaperedSum": "velmora.TaperedSum",
    "TimeDependentSum": "velmora.TimeDependentSum", "EvolveResult": "velmora.EvolveResult",
    "TrajectoryResult": "velmora.TrajectoryResult", "EigshResult": "velmora.EigshResult",
    "CorrelationResult": "velmora.CorrelationResult", "SpectralResult": "velmora.SpectralResult",
    "ndarray": "numpy.ndarray", "complex128": "numpy.complex128", "float64": "numpy.float64",
    "int64": "numpy.int64", "uint64": "numpy.uint64", "Generator": "numpy.random.Generator", "LinearOperator": "scipy.sparse.linalg.LinearOperator",
    "SparsePauliOp": "qiskit.quantum_info.SparsePauliOp",
    "QubitOperator": "openfermion.QubitOperator",
}
numpydoc_xref_ignore = {"optional", "default", "of", "or", "shape", "array_like", "callable",
                        "sequence", "iterable", "mapping", "None", "k", "n", "dim", "T", "m",
                        "the", "same", "as", "type", "real", "complex", "positive", "and"}

# What every public docstring must hold (parameters, returns, raises, an example) is
# checked by docs/check_docstrings.py, which make docs runs after the build.

# MathJax from the site itself (copied by docs/_ext/velmora_docs.py): formulas render
# without a network.
mathjax_path = "mathjax/tex-chtml.js"

myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

# Every `>>>` block of the pages and docstrings runs under `make docs` (doctest).
# Exception messages are compared too: a message a page quotes is one the code raises
# ("..." stands for any text, and line breaks for any space).
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
doctest_test_doctest_blocks = "default"

# The copy button copies what a reader types: the lines of a `>>>` session without
# their prompts and without the output; a block without prompts is copied whole.
copybutton_prompt_text = r">>> |\.\.\. "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True
copybutton_remove_prompts = True

# The build reaches no documentation site: the inventories of the libraries
# these pages cite are written from docs/_ext/inventories.py, with the URLs of
# their own pages.
import inventories  # noqa: E402

INVENTORIES = ROOT / "build" / "docs" / "inventories"
inventories.write(INVENTORIES)
intersphinx_mapping = {name: (url, str(INVENTORIES / f"{name}.inv"))
                       for name, url in inventories.BASES.items()}
intersphinx_timeout = 1

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "auto_examples",
    # Every example runs, the MPI one on one process (as `python examples/mpi_chain.py`).
    "filename_pattern": r"/[a-z][a-z_]*\.py$",
    "ignore_pattern": r"^_",
    "reset_argv": "velmora_docs.gallery_argv",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "download_all_examples": False,
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    "remove_config_comments": True,
    "show_memory": False,
    # No computation-times pages: they load their scripts from CDNs (nothing on this
    # site is fetched from another machine) and would report a memory column of zeros.
    "write_computation_times": False,
    "plot_gallery": "True",
    "within_subsection_order": "FileNameSortKey",
}

html_theme = "furo"
html_title = f"velmora {release}"
html_static_path = ["_static"]
html_css_files = ["velmora.css"]
html_favicon = "_static/favicon.svg"
html_theme_options = {"navigation_with_keys": True}
html_show_sourcelink = False
# The sidebar: the theme's, with the project's links (the package's source pages, which
# the [source] links of the reference open, and the repository) below the navigation.
html_sidebars = {"**": ["sidebar/brand.html", "sidebar/search.html", "sidebar/scroll-start.html",
                        "sidebar/navigation.html", "sidebar/project.html",
                        "sidebar/scroll-end.html"]}
# The repository, once pyproject.toml names it under [project.urls] (a link in the
# sidebar; nothing is fetched from it).
import tomllib  # noqa: E402

html_context = {"velmora_repository": tomllib.loads((ROOT / "pyproject.toml").read_text())
                ["project"].get("urls", {}).get("Repository")}
