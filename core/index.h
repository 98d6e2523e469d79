// SPDX-License-Identifier: MIT
// The one type of positions in the core: point indices, positions in the
// leaf order and node positions in the tree. A tree over n points has
// 2n - 1 nodes, so n stays at most max_points (checks.h) and every sum of
// two positions fits.
#pragma once

#include <cstdint>

using index_t = int32_t;
