"""Checks that every public name of velmora has a complete numpydoc docstring.

The public names are ``velmora.__all__``, ``velmora.models.__all__``,
``velmora.mpi.__all__`` and ``velmora.quasi_magnus.__all__``, and the public
methods and properties of their classes (inherited ones included, when a
velmora class defines them). Each is validated with
``numpydoc.validate.validate``; a name fails when its docstring is missing
(GL08), leaves a parameter undocumented or documents one it does not take
(PR01, PR02), says nothing of what a function returns (RT01) or has no
Examples section with a ``>>>`` line (EX01). A function, a method or a class
with a constructor of its own must also have a Raises section, unless it is
in ``NO_RAISES`` below. Constants in an ``__all__`` need a ``#:`` comment
(Sphinx's autodata reads it) and modules a docstring.

Run it with the package importable, e.g.::

    PYTHONPATH=/path/to/site python docs/check_docstrings.py

It prints the number of names checked and exits with status 1, listing the
failures, when any name fails.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import sys

import numpydoc.validate
from numpydoc.docscrape import get_doc_object

MODULES = ["velmora", "velmora.models", "velmora.mpi", "velmora.quasi_magnus"]

#: numpydoc's codes that fail the check. PR01 and RT01 are recomputed below:
#: numpydoc counts private keyword arguments (a leading underscore) as
#: parameters, and checks the returns of plain functions only, not of
#: classmethods.
CODES = {"GL08", "PR02", "EX01"}

#: Functions, methods and classes that raise nothing of their own, so need no
#: Raises section.
NO_RAISES = {
    # The generator words are found by linear algebra on the terms, which
    # every PauliSum has: no argument to refuse.
    "velmora.PauliSum.z2_symmetries",
    "velmora.TaperedSum.z2_symmetries",
    # A pure function of a float: the tolerance was checked by the caller.
    "velmora.quasi_magnus.default_order",
    # The exception stores its message and the partial result.
    "velmora.ConvergenceError",
}


def _public_members(cls: type) -> list[tuple[str, object]]:
    """The public methods and properties of `cls` that a velmora class defines
    (not those of object, Exception, ...), in alphabetical order."""
    members = []
    for name in sorted(dir(cls)):
        if name.startswith("_"):
            continue  # private, and special methods (constructors are the class's)
        owner = next((k for k in cls.__mro__ if name in vars(k)), None)
        if owner is None or not owner.__module__.startswith("velmora"):
            continue
        raw = vars(owner)[name]
        if isinstance(raw, (property, classmethod, staticmethod)) or inspect.isfunction(raw):
            members.append((name, raw))
    return members


def public_names() -> list[tuple[str, object, str]]:
    """(dotted name, object, kind) of every public name, kind one of
    'module', 'constant', 'class', 'function', 'method', 'property'."""
    names: list[tuple[str, object, str]] = []
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for name in module.__all__:
            obj = getattr(module, name)
            dotted = f"{module_name}.{name}"
            if inspect.ismodule(obj):
                names.append((dotted, obj, "module"))
            elif inspect.isclass(obj):
                names.append((dotted, obj, "class"))
                for member, raw in _public_members(obj):
                    kind = "property" if isinstance(raw, property) else "method"
                    names.append((f"{dotted}.{member}", raw, kind))
            elif callable(obj):
                names.append((dotted, obj, "function"))
            else:
                names.append((dotted, obj, "constant"))
    return names


def _has_doc_comment(module_name: str, name: str) -> bool:
    """Whether the assignment of `name` in the module's source follows a
    ``#:`` comment."""
    module = importlib.import_module(module_name)
    source = inspect.getsource(module)
    lines = source.splitlines()
    for node in ast.parse(source).body:
        targets = (node.targets if isinstance(node, ast.Assign)
                   else [node.target] if isinstance(node, ast.AnnAssign) else [])
        if any(isinstance(t, ast.Name) and t.id == name for t in targets):
            above = lines[node.lineno - 2].strip() if node.lineno >= 2 else ""
            return above.startswith("#:")
    return False


def _function(obj: object) -> object:
    """The plain function behind a method, classmethod or staticmethod."""
    while isinstance(obj, (classmethod, staticmethod)) or inspect.ismethod(obj):
        obj = obj.__func__
    return obj


def _own_constructor(cls: type) -> bool:
    """Whether `cls` has a constructor written in velmora: not one that
    dataclasses generate (compiled from a string), nor one of a builtin base."""
    for klass in cls.__mro__:
        if "__init__" in vars(klass):
            init = vars(klass)["__init__"]
            return (klass.__module__.startswith("velmora")
                    and init.__code__.co_filename != "<string>")
    return False


def _signature_parameters(obj: object) -> list[str]:
    """The parameters a caller passes, without self/cls and without private
    keyword arguments (a leading underscore: not part of the interface)."""
    try:
        signature = inspect.signature(obj)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return []
    params = []
    for name, parameter in signature.parameters.items():
        if name in ("self", "cls") or name.startswith("_"):
            continue
        if parameter.kind == parameter.VAR_POSITIONAL:
            name = f"*{name}"
        elif parameter.kind == parameter.VAR_KEYWORD:
            name = f"**{name}"
        params.append(name)
    return params


def check(dotted: str, obj: object, kind: str) -> list[str]:
    """The problems of one name, as short messages."""
    if kind == "module":
        return [] if (obj.__doc__ or "").strip() else ["GL08: the module has no docstring"]
    if kind == "constant":
        module_name, name = dotted.rsplit(".", 1)
        return [] if _has_doc_comment(module_name, name) else [
            "GL08: the constant has no #: comment above its assignment"]
    result = numpydoc.validate.validate(dotted)
    problems = [f"{code}: {message}" for code, message in result["errors"] if code in CODES]
    if not (inspect.getdoc(obj) or "").strip():
        return problems or ["GL08: no docstring"]
    doc = get_doc_object(_function(obj) if kind == "method" else obj)
    if kind == "property":
        examples = "\n".join(doc["Examples"])
    else:
        documented = [n.strip().replace("\\", "") for names, _, _ in doc["Parameters"]
                      for n in names.split(",")]
        documented += [n.strip().replace("\\", "") for names, _, _ in doc["Other Parameters"]
                       for n in names.split(",")]
        target = obj if kind == "class" else _function(obj)
        missing = [p for p in _signature_parameters(target) if p not in documented]
        if missing:
            problems.append(f"PR01: parameters not documented: {', '.join(missing)}")
        if kind != "class" and not (doc["Returns"] or doc["Yields"]):
            validator = numpydoc.validate.Validator(get_doc_object(_function(obj)))
            if validator.method_returns_something:
                problems.append("RT01: no Returns section")
        needs_raises = kind != "class" or _own_constructor(obj)
        if needs_raises and not doc["Raises"] and dotted not in NO_RAISES:
            problems.append("RS: no Raises section (add one, or the name to NO_RAISES)")
        examples = "\n".join(doc["Examples"])
    if ">>>" not in examples and not any(p.startswith("EX01") for p in problems):
        problems.append("EX01: the Examples section has no >>> example")
    return problems


def main() -> int:
    names = public_names()
    failures = {}
    for dotted, obj, kind in names:
        problems = check(dotted, obj, kind)
        if problems:
            failures[dotted] = problems
    unused = NO_RAISES - {dotted for dotted, _, _ in names}
    print(f"{len(names)} public names checked ({len(NO_RAISES)} in the Raises allow-list)")
    if unused:
        print("NO_RAISES lists names that are not public:", ", ".join(sorted(unused)))
    for dotted, problems in failures.items():
        print(f"{dotted}:")
        for problem in problems:
            print(f"    {problem}")
    if failures or unused:
        print(f"{len(failures)} names fail")
        return 1
    print("all pass")
    return 0


if __name__ == "__main__":
    sys.exit(main())
