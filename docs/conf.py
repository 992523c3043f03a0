# Sphinx configuration of the orvelio documentation (scripts/docs.sh builds and tests it).
import os
import pathlib
import sys

import orvelio

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

project = "orvelio"
author = "the orvelio developers"
copyright = "the orvelio developers"
release = version = getattr(orvelio, "__version__", "")

extensions = [
    "sphinx.ext.autodoc",      # the API pages: texts from the installed package's docstrings
    "sphinx.ext.napoleon",     # the result classes' "Attributes:" sections
    "sphinx.ext.doctest",      # every example below runs (sphinx-build -b doctest)
    "sphinxarg.ext",           # the command line's pages from its argparse parser
]

html_theme = "furo"
html_title = f"orvelio {release}".strip()
exclude_patterns = ["_build"]
default_role = "code"
autodoc_member_order = "bysource"
autodoc_typehints = "description"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

# The examples run in a folder of small files: the bundled sample and a few made with the
# test-file builder (docs/_examples.py). Their output is compared as written.
EXAMPLES = os.environ.get("ORVELIO_DOCS_EXAMPLES", str(HERE / "_build" / "examples"))
doctest_global_setup = f"""
import os as _os
import _examples
_os.chdir(_examples.make({EXAMPLES!r}))
_examples.register_engine({EXAMPLES!r})
"""
doctest_default_flags = (__import__("doctest").ELLIPSIS | __import__("doctest").NORMALIZE_WHITESPACE)
trim_doctest_flags = True


def _check_coverage(app):
    """Every function and class of the top level and every name orvelio.reader exports has its
    entry: a name added to either API without documentation fails the build (-W)."""
    from sphinx.util import logging
    import orvelio.reader

    log = logging.getLogger(__name__)
    exact = (HERE / "exact.rst").read_text()
    friendly = (HERE / "reader.rst").read_text() + (HERE / "errors.rst").read_text()
    for name, value in vars(orvelio).items():
        if name.startswith("_") or type(value).__name__ == "module" or name in ("unpack",):
            continue
        if f"orvelio.{name}\n" not in exact and f":: {name}\n" not in exact:
            log.warning(f"exact.rst: no entry for orvelio.{name}")
    for name in orvelio.reader.__all__:
        if f"orvelio.reader.{name}\n" not in friendly and name not in ("DataReturn",):
            log.warning(f"reader.rst/errors.rst: no entry for orvelio.reader.{name}")


def setup(app):
    app.connect("builder-inited", _check_coverage)
