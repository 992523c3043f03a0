"""Read Orvel spectroscopy files into numpy arrays.

Call help() for an overview of the functions.
"""
from ._orvelio import _populate

_populate(globals())
del _populate
# The first import of the submodule binds it here; a reload finds it imported already.
globals().pop("_orvelio", None)
