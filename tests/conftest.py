import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))


def pytest_unconfigure(config):
    # Collect reference cycles (tracebacks kept by pytest and Hypothesis that
    # reach module objects) while the module is still alive, so that nothing
    # of it is left for the interpreter's final teardown.
    import gc

    gc.collect()
