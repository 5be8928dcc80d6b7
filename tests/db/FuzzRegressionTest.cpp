// Replays every input kept from fuzzing the database layer's text readers (the crashing ones
// once found and the corpus) through the fuzz targets' own entries: none may crash, raise an
// unexpected error or break an invariant the entry checks.
#include "FuzzEntries.h"

#include <gtest/gtest.h>

namespace {

struct Target {
    const char* name;
    void (*entry)(const uint8_t*, size_t);
    friend void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }
};

class KeptFuzzInputs : public ::testing::TestWithParam<Target> {};

TEST_P(KeptFuzzInputs, RunCleanly)
{
    const auto inputs = b2d::fuzz::keptInputs(QStringLiteral(B2D_SOURCE_DIR), GetParam().name);
    ASSERT_FALSE(inputs.empty());
    for (const b2d::fuzz::KeptInput& input : inputs) {
        SCOPED_TRACE(input.file.toStdString());
        EXPECT_NO_THROW(GetParam().entry(input.data(), input.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(TextReaders, KeptFuzzInputs,
                         ::testing::Values(Target{"datalink", &b2d::fuzz::readDataLink},
                                           Target{"connection_string", &b2d::fuzz::connectionStringFields},
                                           Target{"stored_login", &b2d::fuzz::storedLogin},
                                           Target{"like", &b2d::fuzz::sqlServerLikeShim}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
