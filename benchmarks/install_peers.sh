#!/usr/bin/env bash
# install_peers.sh MAIN_VENV TORCH_VENV
# Installs the peers that benchmarks/compare_peers.py runs beside lamiro:
# tmm-faster into MAIN_VENV (lamiro's own environment, which has tmm,
# matplotlib and pyperf from the project's test extra and bench group), and
# tmm-fast with PyTorch and pyperf into TORCH_VENV, a Python 3.11
# environment of its own.
#
# PyTorch from the package index is a CUDA build of several GB, of no use
# here. The CPU build of torch 2.13.0 for Python 3.11 is taken where pip
# finds it on this machine (a wheel in pip's find-links); where there is none,
# tmm-fast is left out (compare_peers.py then reports it as not installed)
# unless LAMIRO_ALLOW_TORCH_DOWNLOAD=1. Running it again installs nothing new.
set -eu
main="$1"; torch_venv="$2"
here="$(cd "$(dirname "$0")" && pwd)"
torch_packages=(torch==2.13.0 tmm-fast pyperf)

"$main/bin/python" -m pip install --quiet tmm-faster
mkdir -p "$torch_venv"

if ! python=$("$here/../scripts/find-python" 3.11 2>/dev/null); then
    echo "install_peers: no Python 3.11 found, so no CPU build of PyTorch: tmm-fast left out" >&2
    exit 0
fi
[ -x "$torch_venv/bin/python" ] || "$python" -m venv "$torch_venv"
# torch itself only from a wheel on this machine (--no-index: pip's
# find-links alone); its own dependencies then come from the index.
if ! "$torch_venv/bin/python" -m pip install --quiet --no-index --no-deps torch==2.13.0 \
        && [ "${LAMIRO_ALLOW_TORCH_DOWNLOAD:-0}" != 1 ]; then
    echo "install_peers: no CPU build of torch 2.13.0 on this machine, and the package index has a CUDA" \
         "build of several GB: tmm-fast left out. LAMIRO_ALLOW_TORCH_DOWNLOAD=1 installs it all the same." >&2
    exit 0
fi
"$torch_venv/bin/python" -m pip install --quiet "${torch_packages[@]}"
