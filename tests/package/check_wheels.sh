#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs each built wheel into a fresh venv of its own interpreter with no compiler on PATH and
# nothing built from source, imports lumo from outside the source tree and runs a decomposition;
# with --suite it then installs the test requirements (binary wheels only) and runs the pytest
# suite against the installed module (without the slow cases, which `make test` runs). The wheels
# are checked side by side. Usage: check_wheels.sh [--suite] WHEEL...
set -euo pipefail

suite=0
if [ "${1:-}" = --suite ]; then suite=1; shift; fi
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
unset PYTHONPATH PYTHONHOME
tmp=$(mktemp -d "${TMPDIR:-/tmp}/lumo-wheel-check.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# One wheel: install, import, a decomposition, then (with --suite) the suite. Its output goes to
# $tmp/$tag.log; the status says whether everything passed.
check_one() {
    local wheel=$1 tag=$2
    local version="${tag:2:1}.${tag:3}"
    local root python venv="$tmp/$tag" bin="$tmp/$tag-bin"
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    python=$(ls -d "$root"/versions/"$version".*/bin/python3 2>/dev/null | sort -V | tail -n 1)
    [ -n "$python" ] || python=$(command -v "python$version")
    "$python" -m venv "$venv"
    # Only the venv and the basic tools on PATH: no cc, c++, gcc or clang to fall back on.
    mkdir -p "$bin"
    for tool in env sh bash; do ln -sf "$(command -v $tool)" "$bin/$tool"; done
    if PATH="$venv/bin:$bin" bash -c 'command -v cc || command -v c++ || command -v gcc' >/dev/null; then
        echo "FAILED  a compiler is still on PATH"
        return 1
    fi
    if ! (cd "$tmp" && PATH="$venv/bin:$bin" "$venv/bin/python" -m pip install -q --no-index --only-binary :all: "$wheel" &&
        PATH="$venv/bin:$bin" "$venv/bin/python" - "$venv" <<'PY'
import sys, lumo
assert lumo.__file__.startswith(sys.argv[1]), lumo.__file__
dec = lumo.decompose([[0.0, 0.0], [1.0, 0.0], [0.0, 5.0]], s=2.0)
assert len(dec) == 2, dec
assert lumo.build_lumo(2, 2, 1.0, [lumo.point([0.0, 0.0]), lumo.point([1.0, 0.0])]) == [([1], [0])]
print(f"ok      {sys.version.split()[0]}: {dec!r}")
PY
    ); then
        echo "FAILED  installing and importing $wheel"
        return 1
    fi
    ((suite)) || return 0
    "$venv/bin/python" -m pip install -q --only-binary :all: -r "$repo/requirements.txt" 2>&1 |
        grep -v -e '^WARNING: Location' || true
    if ! (cd "$repo" && MPLBACKEND=Agg "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider -m "not slow"); then
        echo "FAILED  the test suite on $tag"
        return 1
    fi
}

# The wheels are checked side by side (the suite runs on one core), then their logs are shown in turn.
wheels=()
for wheel in "$@"; do wheels+=("$(realpath "$wheel")"); done
tags=()
pids=()
for wheel in "${wheels[@]}"; do
    tag=$(basename "$wheel" | sed -E 's/^lumo-[^-]+-(cp[0-9]+)-.*/\1/')
    tags+=("$tag")
    check_one "$wheel" "$tag" >"$tmp/$tag.log" 2>&1 &
    pids+=($!)
done
passed=0
failed=0
for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then status=0; else status=1; fi
    echo "---- ${tags[$i]}: ${wheels[$i]}"
    cat "$tmp/${tags[$i]}.log"
    if ((status == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "wheels: $passed passed, $failed failed"
((failed == 0))
