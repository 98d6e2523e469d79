# SPDX-License-Identifier: MIT
"""The objects of the array interface under hostile use: instances never initialised, unusual
buffers, pickles (round trips and corrupted ones), slices, and the docstrings' examples.

Reproducers of former crashes run in a subprocess, so that a crash fails one test only.
"""
import copy
import doctest
import json
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lumo

SUBPROCESS_ENV = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}


def run_script(script, *args, timeout=300):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=SUBPROCESS_ENV)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def arrays(dec):
    return np.asarray(dec.order).tolist(), np.asarray(dec.pairs).tolist()


def random_points(n, d, seed):
    return np.random.default_rng(seed).random((n, d))


# --- instances and buffers -----------------------------------------------------------------------


def test_uninitialised_instances_raise_type_error():
    outcomes = run_script("""
        import json, pickle, lumo
        outcomes = {}
        for cls in (lumo.Decomposition, lumo.SplitTree, lumo._IndexArray):
            try:
                obj = cls.__new__(cls)
            except TypeError:
                outcomes[cls.__name__ + ".__new__"] = "TypeError"
                continue
            for name, use in [("len", len), ("repr", repr), ("list", list), ("n", lambda o: o.n),
                              ("memoryview", memoryview), ("pickle", pickle.dumps),
                              ("order", lambda o: o.order), ("to_list", lambda o: o.to_list()),
                              ("decompose", lambda o: o.decompose()), ("getitem", lambda o: o[0])]:
                try:
                    use(obj)
                    outcomes[cls.__name__ + "." + name] = "returned"
                except (TypeError, AttributeError) as e:
                    outcomes[cls.__name__ + "." + name] = type(e).__name__
        print(json.dumps(outcomes))
    """)
    assert outcomes["_IndexArray.__new__"] == "TypeError"
    assert set(outcomes.values()) <= {"TypeError", "AttributeError"}, outcomes
    # AttributeError only where the type has no such member at all.
    assert {k for k, v in outcomes.items() if v == "AttributeError"} == {
        "Decomposition.decompose", "SplitTree.order", "SplitTree.to_list"}


def test_ctypes_arrays_and_memoryview_casts_without_strides():
    # ctypes exports no strides (C order implied); each case crashed the reader before.
    results = run_script("""
        import ctypes, json, lumo
        rows = [(0, 0, 1), (1, 0, 0), (4, 5, 2), (3, 3, 3), (7, 1, 4), (2, 9, 6)]
        out = {}
        for name, ctype in [("double", ctypes.c_double), ("int", ctypes.c_int), ("long", ctypes.c_long),
                            ("uint8", ctypes.c_uint8), ("float", ctypes.c_float)]:
            for n, d in [(6, 3), (3, 2), (6, 1), (1, 3)]:
                data = ((ctype * d) * n)(*[r[:d] for r in rows[:n]])
                out[f"{name}-{n}x{d}"] = lumo.decompose(data, 1.0).to_list()
        print(json.dumps(out))
    """)
    rows = np.array([(0, 0, 1), (1, 0, 0), (4, 5, 2), (3, 3, 3), (7, 1, 4), (2, 9, 6)], dtype=float)
    for key, got in results.items():
        n, d = map(int, key.split("-")[1].split("x"))
        assert [tuple(p) for p in got] == lumo.decompose(rows[:n, :d], 1.0).to_list(), key
    values = np.random.default_rng(5).permutation(18).astype(float)
    for shape in [(6, 3), (9, 2), (18, 1), (2, 9), (1, 18)]:
        view = memoryview(values.tobytes()).cast("d", shape)
        assert arrays(lumo.decompose(view)) == arrays(lumo.decompose(values.reshape(shape)))


def test_bool_is_any_non_zero_byte_and_ssize_formats_are_read():
    stored = np.array([[0, 2], [255, 0], [1, 1], [0, 0]], dtype=np.uint8)
    as_bool = stored.view(bool)
    assert arrays(lumo.decompose(as_bool, 0.5)) == arrays(lumo.decompose(as_bool.astype(float), 0.5))
    ints = np.array([[3, -1], [0, 7], [-5, 2]], dtype=np.int64)
    for code, values in [("n", ints), ("N", ints + 5)]:
        view = memoryview(values.tobytes()).cast(code, list(values.shape))
        assert arrays(lumo.decompose(view)) == arrays(lumo.decompose(values.astype(float)))


def test_lazy_array_attribute_lets_base_exceptions_through():
    class Lazy:
        def __init__(self, error):
            self.error = error

        @property
        def __array__(self):
            raise self.error

        def __len__(self):
            return 2

        def __getitem__(self, k):
            return [[0.0, 1.0], [2.0, 3.0]][k]

    with pytest.raises(KeyboardInterrupt):
        lumo.decompose(Lazy(KeyboardInterrupt()))
    # An Exception means "no such attribute", as for hasattr: the sequence is read instead.
    assert len(lumo.decompose(Lazy(RuntimeError("lazy")))) == 1


def test_index_past_the_machine_word_is_an_index_error():
    dec = lumo.decompose(random_points(20, 2, 0))
    for k in (2**63, -2**63 - 1, 2**100):
        with pytest.raises(IndexError, match="pair index out of range"):
            dec[k]


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="sanitizers reserve more than the cap")
def test_more_than_2_30_points_refused_before_allocating():
    result = run_script("""
        import json, resource, time
        import numpy as np, lumo
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        rows = np.lib.stride_tricks.as_strided(np.arange(2.0), shape=(2**30 + 1, 2), strides=(0, 8))
        out = {}
        for name, call in [("decompose", lambda: lumo.decompose(rows)), ("tree", lambda: lumo.SplitTree(rows))]:
            start = time.perf_counter()
            try:
                call()
                out[name] = "accepted"
            except ValueError as e:
                out[name] = [str(e), time.perf_counter() - start]
        print(json.dumps(out))
    """)
    for name in ("decompose", "tree"):
        message, seconds = result[name]
        assert message.startswith("points must hold at most 1073741824 (2**30) points; got an array of shape "
                                  "(1073741825, 2)"), message
        assert seconds < 0.5


# --- pickling and copying ------------------------------------------------------------------------


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copy_round_trips(protocol):
    x = random_points(3000, 3, 1)
    x[:5] = [[0.0, -0.0, 1.0], [-0.0, 0.5, 0.5], [1.0, 1.0, -0.0], [0.25, 0.0, 0.0], [0.0, 0.0, 0.0]]
    tree = lumo.SplitTree(x)
    loaded = pickle.loads(pickle.dumps(tree, protocol=protocol))
    assert (loaded.n, loaded.d) == (tree.n, tree.d)
    for s in (0.5, 2.0):
        assert arrays(loaded.decompose(s, workers=2)) == arrays(tree.decompose(s))
    dec = tree.decompose(3.0)
    for original in (dec, dec[5:40]):
        for again in (pickle.loads(pickle.dumps(original, protocol=protocol)), copy.copy(original),
                      copy.deepcopy(original)):
            assert (again.n, again.d, again.s) == (original.n, original.d, original.s)
            assert arrays(again) == arrays(original) and again.to_list() == original.to_list()
    assert arrays(copy.deepcopy(tree).decompose()) == arrays(tree.decompose())


def test_protocol_5_sends_arrays_out_of_band():
    dec = lumo.decompose(random_points(2000, 2, 2))
    for obj, sizes in [(dec, [4 * dec.n, 16 * len(dec)]), (lumo.SplitTree(random_points(500, 4, 3)), [500 * 4 * 8])]:
        buffers = []
        data = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
        assert [len(b.raw()) for b in buffers] == sizes and len(data) < 200
        assert repr(pickle.loads(data, buffers=buffers)) == repr(obj)


def _state(dec):
    return list(dec.__getstate__())


BAD_STATES = {
    "short": (lambda st: st[:4], ValueError, "must hold 5 items"),
    "n-zero": (lambda st: [0] + st[1:], ValueError, "n is out of range"),
    "n-huge": (lambda st: [2**30 + 1] + st[1:], ValueError, "n is out of range"),
    "n-overflow": (lambda st: [2**70] + st[1:], OverflowError, "too big"),
    "n-str": (lambda st: ["4"] + st[1:], TypeError, "n is not an int"),
    "s-nan": (lambda st: st[:2] + [float("nan")] + st[3:], ValueError, "s is not finite"),
    "order-short": (lambda st: st[:3] + [st[3][:-4]] + st[4:], ValueError, "order has the wrong length"),
    "order-repeat": (lambda st: st[:3] + [st[3][4:8] + st[3][4:]] + st[4:], ValueError, "not a permutation"),
    "order-range": (lambda st: st[:3] + [np.array([0, 1, 2, 9], np.int32).tobytes()] + st[4:], ValueError,
                    "not a permutation"),
    "pairs-ragged": (lambda st: st[:4] + [st[4][:-1]], ValueError, "pairs has the wrong length"),
    "run-empty": (lambda st: st[:4] + [np.array([0, 0, 1, 1], np.int32).tobytes()], ValueError, "outside"),
    "run-past-n": (lambda st: st[:4] + [np.array([3, 2, 0, 1], np.int32).tobytes()], ValueError, "outside"),
    "pairs-not-buffer": (lambda st: st[:4] + [None], TypeError, "bytes-like"),
}


@pytest.mark.parametrize("name", BAD_STATES)
def test_bad_decomposition_states_are_refused(name):
    change, error, message = BAD_STATES[name]
    dec = lumo.decompose([[0.0], [1.0], [3.0], [7.0]])
    obj = lumo.Decomposition.__new__(lumo.Decomposition)
    with pytest.raises(error, match=message):
        obj.__setstate__(tuple(change(_state(dec))))
    with pytest.raises(TypeError, match="incompatible"):
        len(obj)


def test_bad_tree_states_give_the_input_errors():
    tree = lumo.SplitTree([[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]])
    n, d, points = tree.__getstate__()
    for state, message in [((n, d, points[:-8]), "points has the wrong length"),
                           ((n, 3, points), "points has the wrong length"),
                           ((n, d, points[:16] + points[:16] + points[32:]), "equal"),
                           ((n, d, np.array([0, 1, np.nan, 3, 4, 5.0]).tobytes()), "non-finite")]:
        obj = lumo.SplitTree.__new__(lumo.SplitTree)
        with pytest.raises(ValueError, match=message):
            obj.__setstate__(state)
    # A second __setstate__ on a live object changes nothing.
    tree.__setstate__((1, 1, np.zeros(1).tobytes()))
    assert tree.n == 3


def test_corrupted_pickles_raise_and_never_crash():
    counts = run_script("""
        import json, os, pickle, random, resource, sys
        import lumo
        if "ASAN_OPTIONS" not in os.environ:  # sanitizers reserve more than any cap
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        rng = random.Random(7)
        pts = [[rng.random(), rng.random(), rng.random()] for _ in range(60)]
        objects = [lumo.SplitTree(pts), lumo.decompose(pts, 1.0), lumo.decompose(pts, 4.0)[3:30]]
        counts = {"loaded": 0, "raised": 0}
        for k in range(1000):
            obj = objects[k % 3]
            buffers = []
            protocol = rng.choice([2, 4, 5])
            data = bytearray(pickle.dumps(obj, protocol=protocol,
                                          buffer_callback=buffers.append if protocol == 5 and k % 2 else None))
            buffers = [bytearray(b.raw()) for b in buffers]
            target = data if not buffers or rng.random() < 0.5 else rng.choice(buffers)
            how = rng.randrange(3)
            if how == 0 and target:
                for _ in range(rng.randint(1, 4)):
                    target[rng.randrange(len(target))] = rng.randrange(256)
            elif how == 1:
                del target[rng.randrange(len(target) + 1):]
            else:
                at = rng.randrange(len(target) + 1)
                target[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
            try:
                loaded = pickle.loads(bytes(data), buffers=buffers)
                repr(loaded)
                if isinstance(loaded, lumo.SplitTree):
                    loaded.decompose()
                elif isinstance(loaded, lumo.Decomposition):
                    loaded.to_list(), list(loaded), loaded.representatives()
                counts["loaded"] += 1
            except Exception:
                counts["raised"] += 1
        print(json.dumps(counts))
    """)
    assert counts["loaded"] + counts["raised"] == 1000 and counts["raised"] > 300, counts


# --- slices --------------------------------------------------------------------------------------


def test_slices_are_decompositions_sharing_memory():
    dec = lumo.decompose(random_points(300, 2, 4))
    listed, pairs = dec.to_list(), np.asarray(dec.pairs)
    m = len(dec)
    for a, b in [(None, None), (0, 10), (5, -5), (-20, None), (None, 3), (m, m + 5), (10, 2), (-m - 9, 2)]:
        part = dec[a:b]
        assert isinstance(part, lumo.Decomposition) and (part.n, part.d, part.s) == (dec.n, dec.d, dec.s)
        assert part.to_list() == listed[a:b] and [(x.tolist(), y.tolist()) for x, y in part] == listed[a:b]
        assert np.asarray(part.pairs).tolist() == pairs[a:b].tolist()
        assert np.asarray(part.representatives()).shape == (len(listed[a:b]), 2)
        if len(part):
            assert np.shares_memory(np.asarray(part.pairs), pairs)
    assert dec[10:50][5:8].to_list() == listed[15:18]
    assert repr(dec[:3]) == "<lumo.Decomposition: 3 pairs of 300 points in 2-D, s=2.0>"
    for step in (2, -1):
        with pytest.raises(ValueError, match=f"sliced with step 1 only; got step {step}"):
            dec[::step]


# --- docstrings ----------------------------------------------------------------------------------


def test_docstring_examples_run_and_show_their_output():
    documented = [lumo.decompose, lumo.Decomposition, lumo.SplitTree]
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    parser = doctest.DocTestParser()
    examples = 0
    for obj in documented:
        test = parser.get_doctest(obj.__doc__, {"np": np, "lumo": lumo}, obj.__name__, None, 0)
        examples += len(test.examples)
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
    assert examples >= 12
