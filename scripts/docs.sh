#!/usr/bin/env bash
# Builds the documentation (docs/) into docs/_build/html with warnings as errors, then runs its
# examples as tests (Sphinx's doctest builder). Installs the tools it needs
# (docs/requirements.txt) into the current Python environment, which must import orvelio:
# an installed package, or a development build (PYTHONPATH=build/dev).
#     scripts/docs.sh            # PYTHON=... to choose the interpreter (default: python3)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
"$python" -m pip install -q -r docs/requirements.txt 2> >(grep -v "^WARNING: Running pip as" >&2 || true)
"$python" -c "import orvelio" || {
    echo "docs.sh: orvelio cannot be imported: pip install . first, or PYTHONPATH=build/dev" >&2
    exit 1
}
rm -rf docs/_build/examples
"$python" -m sphinx -W --keep-going -q -b html -d docs/_build/doctrees docs docs/_build/html
"$python" -m sphinx -W --keep-going -q -b doctest -d docs/_build/doctrees docs docs/_build/doctest
echo "docs: docs/_build/html/index.html built; examples passed"
