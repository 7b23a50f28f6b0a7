#!/bin/bash
# Type-checks the window.vtx declarations: the demo's script against them,
# and a strict usage file whose marked mistakes must be rejected. Installs
# the TypeScript compiler into TOOLS_DIR the first time.
# Usage: check_types.sh SOURCE_DIR TOOLS_DIR
set -euo pipefail
src=$1
tools=$2
command -v npm >/dev/null || { echo "SKIP: npm missing (scripts/install-deps installs it)"; exit 77; }
tsc=$tools/node_modules/.bin/tsc
if [[ ! -x $tsc ]]; then
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --loglevel=error typescript@5 >&2
fi
"$tsc" --version
"$tsc" --noEmit --allowJs --checkJs --target es2020 --lib es2020,dom,dom.iterable \
  "$src/examples/demo/webapp/js/app.js"
"$tsc" --noEmit --strict --target es2020 --lib es2020,dom "$src/tests/types/vtx_usage.ts"
echo "types: demo and usage check against resources/vtx.d.ts"
