"""Read Orvel spectroscopy files into numpy arrays.

Call help() for an overview of the functions.
"""
from ._orvelio import _populate

_populate(globals())
del _populate, _orvelio  # noqa: F821 (the import binds the submodule here)
