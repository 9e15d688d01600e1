#pragma once
// The file layouts as a test parameter: KESTREL_BOTH_LAYOUTS(Suite) after a fixture
// derived from LayoutTest runs each of its tests once for Ansi, once for Unicode and once
// for Unicode in 4 KB pages with deflated blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "storage/pst_layout.h"

namespace kestrel::test {

class LayoutTest : public ::testing::TestWithParam<PstVariant> {
  protected:
    bool unicode() const { return GetParam() != PstVariant::Ansi; }
};

inline std::string VariantTestName(PstVariant variant) {
    return variant == PstVariant::Unicode4k ? "Unicode4k"
           : variant == PstVariant::Unicode ? "Unicode"
                                            : "Ansi";
}

inline std::string LayoutName(const ::testing::TestParamInfo<PstVariant>& info) {
    return VariantTestName(info.param);
}

}  // namespace kestrel::test

#define KESTREL_BOTH_LAYOUTS(suite)                                                      \
    INSTANTIATE_TEST_SUITE_P(                                                            \
        Layouts, suite,                                                                  \
        ::testing::Values(PstVariant::Ansi, PstVariant::Unicode, PstVariant::Unicode4k), \
        ::kestrel::test::LayoutName)

namespace kestrel::test {

// A file layout with the encoding its blocks are written in: Ansi and Unicode with the
// usual permutation, Unicode with the cyclic cipher (keyed by each block's BID), and the
// 4 KB-page layout permuted, then deflated.
struct EncodedLayout {
    PstVariant variant = PstVariant::Unicode;
    uint8_t cryptMethod = 1;
};

class EncodedLayoutTest : public ::testing::TestWithParam<EncodedLayout> {
  protected:
    PstVariant variant() const { return GetParam().variant; }
    uint8_t cryptMethod() const { return GetParam().cryptMethod; }
};

inline std::string EncodedLayoutName(const ::testing::TestParamInfo<EncodedLayout>& info) {
    return VariantTestName(info.param.variant) + (info.param.cryptMethod == 2 ? "Cyclic" : "");
}

}  // namespace kestrel::test

#define KESTREL_ENCODED_LAYOUTS(suite)                                               \
    INSTANTIATE_TEST_SUITE_P(                                                        \
        Layouts, suite,                                                              \
        ::testing::Values(::kestrel::test::EncodedLayout{PstVariant::Ansi, 1},       \
                          ::kestrel::test::EncodedLayout{PstVariant::Unicode, 1},    \
                          ::kestrel::test::EncodedLayout{PstVariant::Unicode, 2},    \
                          ::kestrel::test::EncodedLayout{PstVariant::Unicode4k, 1}), \
        ::kestrel::test::EncodedLayoutName)
