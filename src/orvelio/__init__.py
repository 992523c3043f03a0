"""Read Orvel spectroscopy files into numpy arrays.

Call help() for an overview of the functions.
"""
__version__ = "0.1.0"

from ._orvelio import _populate

_populate(globals())
del _populate
# The first import of the submodule binds it here; a reload finds it imported already.
globals().pop("_orvelio", None)


# catalog() and stack() of orvelio.folders, imported when first asked for (the module's own
# names stay as they are: the lookup lives in the module's class).
from . import _lazy  # noqa: E402

_lazy.install(__name__)
del _lazy
