#include "pictures/gfx_effects.h"

#include <gtest/gtest.h>

namespace b2d {
namespace {
TEST(Effects, Placeholder) { EXPECT_EQ(FilterValue(FilterKind::BoxFilter, 0.5f), 1.0f); }
}
}
