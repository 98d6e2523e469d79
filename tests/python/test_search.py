# SPDX-License-Identifier: MIT
"""SplitTree.count, and the search under memory pressure, each capped case in a fresh process."""
import json
import os
import re
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lumo

sanitized = pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="sanitizers reserve more than the cap")


@pytest.mark.parametrize("d, s", [(1, 0.5), (2, 2.0), (3, 4.0)])
def test_count_is_the_size_of_the_decomposition(d, s):
    tree = lumo.SplitTree(np.random.default_rng(d).random((9000, d)))
    pairs = np.asarray(tree.decompose(s).pairs)
    expected = (len(pairs), int(pairs[:, 1].sum() + pairs[:, 3].sum()))
    assert all(tree.count(s, workers=w) == expected for w in (1, 2, 5))
    with pytest.raises(ValueError, match="s"):
        tree.count(float("nan"))


# tree.decompose in a fresh process whose address space is capped at its size before the call plus
# `extra` bytes (no cap for 0); prints what the call gave and the address space it took.
CAPPED = textwrap.dedent("""
    import hashlib, json, resource, sys
    import numpy as np, lumo

    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

    n, d, s, workers, extra = sys.argv[1:6]
    tree = lumo.SplitTree(np.random.default_rng(5).random((int(n), int(d))))
    size = status("VmSize")
    if int(extra) > 0:
        resource.setrlimit(resource.RLIMIT_AS, (size + int(extra), resource.RLIM_INFINITY))
    try:
        dec = tree.decompose(float(s), workers=int(workers))
        out = {"pairs": len(dec), "sha": hashlib.sha1(memoryview(dec.pairs)).hexdigest()}
    except MemoryError as error:
        out = {"error": str(error)}
    print(json.dumps(out))
    print(status("VmPeak") - size)
""")


def capped(n, d, s, workers, extra, stack=None):
    """The child's result and need; `stack` bytes for each thread's stack, if given."""
    limit = None if stack is None else (lambda: resource.setrlimit(resource.RLIMIT_STACK, (stack, stack)))
    run = subprocess.run([sys.executable, "-c", CAPPED, str(n), str(d), str(s), str(workers), str(int(extra))],
                         capture_output=True, text=True, timeout=300, preexec_fn=limit)
    assert run.returncode == 0, run.stderr[-2000:]
    result, need = run.stdout.splitlines()[-2:]
    return json.loads(result), int(need)


@sanitized
@pytest.mark.parametrize("workers", [1, 2, 3])
def test_result_too_large_says_how_far_the_search_got(workers):
    # 200,000 3-D points at s = 4 make about 45 million pairs (690 MiB); 64 MiB holds a tenth.
    got, _ = capped(200000, 3, 4.0, workers, 64 << 20)
    message = re.fullmatch(r"the decomposition needs more memory: ([\d,]+) pairs found, "
                           r"the next step wanted ([\d,]+) bytes", got.get("error", ""))
    assert message, got
    found, wanted = (int(v.replace(",", "")) for v in message.groups())
    # What was found fitted in the cap.
    assert 1 << 20 < found * 16 <= 64 << 20 and wanted > 0


@sanitized
@pytest.mark.parametrize("workers, stack", [(2, None), (8, 1 << 30)])
def test_workers_fit_where_one_worker_fits(workers, stack):
    # A quarter more than one worker needs: two workers complete with the same pairs; so do eight
    # whose threads cannot start (each would take a 1 GiB stack), on the calling thread alone.
    one, need = capped(300000, 3, 2.0, 1, 0)
    assert capped(300000, 3, 2.0, workers, 1.25 * need, stack)[0] == one
