#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds one wheel per CPython version asked for (default 3.11 3.12 3.13) that this machine has,
# found under pyenv or on PATH, and repairs each with auditwheel into a manylinux tag.
# Usage: build_wheels.sh OUT_DIR AUDITWHEEL [VERSION...]
set -euo pipefail

out=$1
auditwheel=$2
shift 2
versions=("$@")
((${#versions[@]})) || versions=(3.11 3.12 3.13)
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

# The newest pyenv patch release of a version, else pythonX.Y on PATH.
find_python() {
    local root candidate
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    candidate=$(ls -d "$root"/versions/"$1".*/bin/python3 2>/dev/null | sort -V | tail -n 1)
    [ -n "$candidate" ] || candidate=$(command -v "python$1" || true)
    [ -n "$candidate" ] && echo "$candidate"
}

raw=$(mktemp -d "${TMPDIR:-/tmp}/lumo-wheels.XXXXXX")
trap 'rm -rf "$raw"' EXIT
mkdir -p "$out"
built=0
for v in "${versions[@]}"; do
    python=$(find_python "$v") || { echo "no CPython $v on this machine: no wheel for it"; continue; }
    echo "building the wheel for CPython $v ($python)"
    "$python" -m pip wheel -q --no-deps -w "$raw/$v" "$repo"
    "$auditwheel" repair -w "$out" "$raw/$v"/lumo-*.whl 2>&1 | grep -v "^INFO:" || true
    ls "$out"/lumo-*-cp${v/./}-*.whl >/dev/null
    built=$((built + 1))
done
((built)) || { echo "no interpreter found for ${versions[*]}" >&2; exit 1; }
ls -1 "$out"/lumo-*.whl
