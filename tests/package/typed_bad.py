# SPDX-License-Identifier: MIT
"""Misuses of lumo's API; every line marked `# E: code` must draw exactly that mypy error."""
import lumo

good = [lumo.point([0.0, 0.0]), lumo.point([1.0, 0.0])]

lumo.point("12")  # E: arg-type
lumo.point([1.0, "2"])  # E: list-item
lumo.point(iter([1.0]))  # E: arg-type
lumo.point(arg0=[1.0])  # E: call-arg
lumo.point([1.0]).extra = 1  # E: attr-defined
lumo.point([1.0]).coord(0)  # E: call-arg

lumo.build_lumo(2.0, 2, 1.0, good)  # E: arg-type
lumo.build_lumo(2, 2.5, 1.0, good)  # E: arg-type
lumo.build_lumo(2, 2, "1.0", good)  # E: arg-type
lumo.build_lumo(2, 2, 1.0, [[0.0, 0.0], [1.0, 0.0]])  # E: list-item
lumo.build_lumo(2, 2, 1.0)  # E: call-arg
lumo.build_lumo(arg0=2, arg1=2, arg2=1.0, arg3=good)  # E: call-arg

pairs = lumo.build_lumo(2, 2, 1.0, good)
names: list[str] = pairs[0][0]  # E: assignment
first, second, third = pairs[0]  # E: misc
coords: list[int] = good[0].coord()  # E: assignment
dec = lumo.decompose([[0.0, 0.0], [1.0, 0.0]], s="2")  # E: arg-type
rows: list[int] = dec.pairs  # E: assignment
tree = lumo.SplitTree("points.csv")  # E: arg-type
