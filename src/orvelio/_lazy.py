"""Names of the package looked up when first used: `orvelio.catalog` and `orvelio.stack` are
the functions of orvelio.folders, which is imported (with pandas or xarray only when called)
at the first use, not by `import orvelio`."""
import sys
import types

LAZY = {"catalog": "folders", "stack": "folders"}


class _Package(types.ModuleType):
    def __getattr__(self, name):
        if name in LAZY:
            import importlib
            return getattr(importlib.import_module(f"{self.__name__}.{LAZY[name]}"), name)
        raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")


def install(name):
    sys.modules[name].__class__ = _Package
