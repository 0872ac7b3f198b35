#!/usr/bin/env bash
# Builds the documentation site (mkdocs.yml, pages under docs/) into
# build/site with `mkdocs build --strict`: a broken link, a missing page in
# the navigation or a docstring the API reference cannot render fails it.
# The tools (requirements-docs.txt) go into the project's virtual
# environment of the interpreter. Usage: scripts/docs.sh [python] [mkdocs args...]
#   e.g. scripts/docs.sh python3 serve     the site at http://127.0.0.1:8000 while editing
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=$("$here/scripts/env.sh" "${1:-${PYTHON:-python3}}" | tail -n 1)
shift || true
stamp="$(dirname "$(dirname "$python")")/.docs-requirements"
if ! cmp -s "$here/requirements-docs.txt" "$stamp"; then
  "$python" -m pip install -q --disable-pip-version-check -r "$here/requirements-docs.txt" >&2
  cp "$here/requirements-docs.txt" "$stamp"
fi
cd "$here"
export NO_MKDOCS_2_WARNING=1
# The function reference is rendered from the module's typing stub, which the
# renderer reads only as a stub package (as the wheel installs it too).
stubs="$here/build/docs-stubs/native_corvix_py_backend-stubs"
mkdir -p "$stubs"
cp "$here/native_corvix_py_backend.pyi" "$stubs/__init__.pyi"
if [ $# -gt 0 ]; then
  exec "$python" -m mkdocs "$@"
fi
exec "$python" -m mkdocs build --strict
