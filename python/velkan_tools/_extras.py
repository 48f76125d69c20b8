"""Optional dependencies: the `tools` extra."""
import importlib

INSTALL_HINT = "pip install 'velkan[tools]'"


def require(module_name, feature):
    """Import a module of the `tools` extra, or say which install brings it."""
    try:
        return importlib.import_module(module_name)
    except ImportError as error:
        raise ImportError(f"{feature} needs the optional 'tools' extra ({INSTALL_HINT}): {error}") from error
