#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the repository the way a user does (`pip install "<repo>[test]"`, build isolation on)
# into a fresh venv, then checks from outside the source tree that the module imports and works,
# that the installed stubs match it (stubtest) and type-check real code, and that `pip wheel`
# makes a wheel holding the module and the stubs. Everything lives in a temp dir removed on exit.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
here="$repo/tests/package"
python=${PYTHON:-python3}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/lumo-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# The installed copy must be the one imported: nothing from a build tree.
unset PYTHONPATH PYTHONHOME
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

passed=0
failed=0
summary() { echo "package check: $passed passed, $failed failed"; }

# check NAME COMMAND...: runs the command with its output kept aside, shown only on failure.
check() {
    local name=$1 log="$tmp/log"
    shift
    if "$@" >"$log" 2>&1; then
        passed=$((passed + 1))
        echo "ok      $name"
    else
        failed=$((failed + 1))
        echo "FAILED  $name"
        sed 's/^/    /' "$log"
    fi
}

venv="$tmp/venv"
py="$venv/bin/python"
run="$tmp/run"
mkdir -p "$run" "$tmp/wheels"
cp "$here/typed_ok.py" "$here/typed_bad.py" "$run/"
cd "$run"

fresh_install() {
    "$python" -m venv "$venv" &&
        "$py" -m pip install -q "$repo[test]"
}
check "pip install <repo>[test] into a fresh venv" fresh_install
if ((failed)); then
    summary
    exit 1
fi

import_smoke() {
    "$py" - "$venv" <<'EOF'
import sys, lumo
assert lumo.__file__.startswith(sys.argv[1]), lumo.__file__
result = lumo.build_lumo(2, 2, 1.0, [lumo.point([0.0, 0.0]), lumo.point([1.0, 0.0])])
assert result == [([1], [0])], result
EOF
}
check "import the installed module, two-point decomposition" import_smoke

check "stubtest: the installed stubs match the module" "$py" -m mypy.stubtest lumo

typed_ok() {
    "$py" -m mypy --strict --no-incremental typed_ok.py && "$py" typed_ok.py
}
check "typed_ok.py passes mypy --strict and runs" typed_ok

# Every misuse line carries `# E: code`; mypy must report exactly those (line, code) pairs.
typed_bad() {
    local status=0
    "$py" -m mypy --strict --no-incremental --show-error-codes typed_bad.py >"$tmp/bad.out" || status=$?
    cat "$tmp/bad.out"
    [ "$status" -eq 1 ] || { echo "mypy exited with $status, expected 1"; return 1; }
    "$py" - typed_bad.py "$tmp/bad.out" <<'EOF'
import re, sys
source, report = sys.argv[1], sys.argv[2]
expected = {(n, m.group(1)) for n, line in enumerate(open(source), 1)
            if (m := re.search(r"# E: ([\w-]+)\s*$", line))}
got = {(int(m.group(1)), m.group(2)) for line in open(report)
       if (m := re.match(r"[^:]+:(\d+): error: .*\[([\w-]+)\]$", line.rstrip()))}
for n, code in sorted(expected - got):
    print(f"line {n}: expected a [{code}] error, got none")
for n, code in sorted(got - expected):
    print(f"line {n}: unexpected [{code}] error")
sys.exit(expected != got or not expected)
EOF
}
check "typed_bad.py draws exactly the marked mypy errors" typed_bad

build_wheel() {
    "$py" -m pip wheel -q --no-deps -w "$tmp/wheels" "$repo" &&
        "$py" - "$tmp/wheels" <<'EOF'
import glob, sys, zipfile
wheels = glob.glob(sys.argv[1] + "/lumo-*.whl")
assert len(wheels) == 1, wheels
names = zipfile.ZipFile(wheels[0]).namelist()
print(wheels[0], *names, sep="\n  ")
assert any(n.startswith("lumo.cpython-311") and n.endswith(".so") for n in names), "no extension module"
assert "lumo-stubs/__init__.pyi" in names, "no stubs"
EOF
}
check "pip wheel <repo>: a wheel with the module and the stubs" build_wheel

summary
((failed == 0))
