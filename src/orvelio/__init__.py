"""Read Orvel spectroscopy files into numpy arrays.

Call help() for an overview of the functions.
"""
__version__ = "0.1.0"

from ._orvelio import _populate

_populate(globals())
del _populate
# The first import of the submodule binds it here; a reload finds it imported already.
globals().pop("_orvelio", None)


def __getattr__(name):
    # catalog() and stack() of orvelio.folders, imported when first asked for.
    if name in ("catalog", "stack"):
        from . import folders
        return getattr(folders, name)
    raise AttributeError(f"module 'orvelio' has no attribute {name!r}")
