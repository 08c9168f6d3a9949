"""What the examples share for their pictures.

Every picture is written together with the parameters that produced it
(`name.png` and `name.json` in the same folder). The copies that the README and
the documentation show live in examples/output, and tests/test_examples.py
compares their parameters with the examples' current defaults, so that a
picture cannot silently go stale. Every example's --help gives each option's
meaning and default, and the cost of a run at the defaults.
"""

import argparse
import json
import os
import pathlib

# Arguments that change how a run is done, never what it draws (the bytes are
# the same for every thread count).
NOT_DRAWN = ("out", "threads")


def title(doc):
    """The first line of an example's docstring that is not blank: its title
    (None when the docstring is gone: the gallery runs the code without it)."""
    lines = (doc or "").strip().splitlines()
    return lines[0] if lines else None


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """--help with each option's default after its meaning, unless the meaning
    already says it (a default of None is decided at run time)."""

    def _get_help_string(self, action):
        if action.default is None or "default" in (action.help or ""):
            return action.help
        return super()._get_help_string(action)


def cost(doc):
    """The paragraph of an example's docstring that starts with "Cost at the
    defaults", on one line (None without a docstring)."""
    for paragraph in (doc or "").split("\n\n"):
        if paragraph.strip().startswith("Cost at the defaults"):
            return " ".join(paragraph.split())
    return None


def argument_parser(doc):
    """An example's parser: its title as the description, its cost as the
    epilog, and each option's default in --help."""
    return argparse.ArgumentParser(description=title(doc), epilog=cost(doc),
                                   formatter_class=HelpFormatter)


def add_threads_argument(parser):
    parser.add_argument("--threads", type=int, default=None,
                        help="threads of the run (default: every core this process may "
                             "use); the results are the same bytes for every count")


def reduce_sizes(parser, **defaults):
    """Lowers the example's default sizes to `defaults` when the environment
    variable VELMORA_EXAMPLE_SIZE is "reduced" (the documentation's gallery
    runs every example so, within a few minutes in all)."""
    known = {action.dest for action in parser._actions}
    unknown = sorted(set(defaults) - known)
    if unknown:
        raise ValueError(f"reduce_sizes: the parser has no argument {unknown}")
    size = os.environ.get("VELMORA_EXAMPLE_SIZE", "full")
    if size not in ("full", "reduced"):
        raise ValueError(f"VELMORA_EXAMPLE_SIZE must be 'full' or 'reduced', got {size!r}")
    if size == "reduced":
        parser.set_defaults(**defaults)


def add_out_argument(parser):
    parser.add_argument("--out", default="velmora-output",
                        help="folder for the plot and its parameters (default: "
                             "./velmora-output; `make pictures` writes the copies the "
                             "documentation shows to examples/output)")


def parameters(args, **constants):
    """The parameters that decide a picture: the command-line arguments except
    those in NOT_DRAWN, and the example's fixed `constants`."""
    drawn = {name: value for name, value in vars(args).items() if name not in NOT_DRAWN}
    return {**drawn, **constants}


def pyplot():
    """matplotlib.pyplot on the file-only backend (no display needed)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save(fig, out, name, drawn_with):
    """Writes out/name.png and, beside it, out/name.json with the parameters
    `drawn_with`; returns the path of the picture."""
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    picture = out / f"{name}.png"
    fig.savefig(picture, dpi=100)
    (out / f"{name}.json").write_text(json.dumps(drawn_with, indent=2, sort_keys=True) + "\n")
    return picture
