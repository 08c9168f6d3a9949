import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

HERE = pathlib.Path(__file__).resolve().parent


def pytest_sessionfinish(session):
    # The collected items keep their parameters (operators among them) until
    # the interpreter's final teardown; drop them with the session.
    session.items.clear()


def pytest_unconfigure(config):
    # Release what the test modules hold (module-level operators, tables of
    # cases) and collect reference cycles (tracebacks kept by pytest and
    # Hypothesis that reach module objects) while the compiled modules are
    # still alive, so that nothing of theirs is left for the interpreter's
    # final teardown, where nanobind reports it as leaked.
    import gc

    for name, module in list(sys.modules.items()):
        path = getattr(module, "__file__", None)
        if path and pathlib.Path(path).resolve().parent == HERE and name != __name__:
            module.__dict__.clear()
    gc.collect()
