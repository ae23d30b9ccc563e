#!/usr/bin/env bash
# Installs what is missing, builds in Release, generates the sample dataset
# and converts it in demo/ (git-ignored).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
# What `cmake --install` puts in place: the commands and their pages.
cmake --build "$root/build" -j"$(nproc)" --target erp2npx npxcheck erp2npx-make-sample erp2npx_docs
# Installed as on a real system: demo/bin/erp2npx is a link to
# demo/lib/erp2npx/erp2npx, which finds its encoder files there.
cmake --install "$root/build" --prefix "$root/demo" >/dev/null
mkdir -p "$root/demo/work"
cd "$root/demo/work"
"$root/demo/bin/erp2npx-make-sample" --out .
status=0
"$root/demo/bin/erp2npx" || status=$?
# Prove the tree against its input, plot the average target and standard
# epochs and write the report page; their findings are shown, the exit value stays the converter's.
"$root/demo/bin/npxcheck" . --source "QUOLMET ERP-BCI.hdf5" || echo "npxcheck: exit value $?"
"$root/demo/bin/npxcheck" . --plot erp.svg || echo "npxcheck: exit value $?"
"$root/demo/bin/npxcheck" . --report report.html || echo "npxcheck: exit value $?"
echo
echo "Input and output are in $root/demo/work (the tree below DB_00/, DB_01/, ...); exit value $status"
exit $status
