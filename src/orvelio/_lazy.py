"""What the package imports when first used: `orvelio.catalog` and `orvelio.stack` are the
functions of orvelio.folders, which is imported (with pandas or xarray only when called) at the
first use, not by `import orvelio`; the optional extras, imported by the functions that need
them."""
import sys
import types

LAZY = {"catalog": "folders", "stack": "folders"}

# The extra of pyproject.toml that installs each optional module.
EXTRAS = {"pandas": "table", "pyarrow": "table", "matplotlib": "plot", "xarray": "xarray", "dask": "xarray",
          "tqdm": "cli"}


def missing(what: str, module: str) -> str:
    """The message for `what` ("catalog", "parquet output") without `module`: what to install."""
    return f"{what} needs {module}: pip install 'orvelio[{EXTRAS[module]}]'"


def need(what: str, module: str) -> types.ModuleType:
    """Imports an optional module; a ModuleNotFoundError that names its extra when it is missing."""
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ModuleNotFoundError(missing(what, module), name=module) from None


class _Package(types.ModuleType):
    def __getattr__(self, name: str) -> object:
        if name in LAZY:
            import importlib
            return getattr(importlib.import_module(f"{self.__name__}.{LAZY[name]}"), name)
        raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")


def install(name: str) -> None:
    sys.modules[name].__class__ = _Package
