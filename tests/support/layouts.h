#pragma once
// Both file layouts as a test parameter: KESTREL_BOTH_LAYOUTS(Suite) after a fixture
// derived from LayoutTest runs each of its tests once for Ansi and once for Unicode.
#include <gtest/gtest.h>

#include <string>

#include "storage/pst_layout.h"

namespace kestrel::test {

class LayoutTest : public ::testing::TestWithParam<PstVariant> {
  protected:
    bool unicode() const { return GetParam() == PstVariant::Unicode; }
};

inline std::string LayoutName(const ::testing::TestParamInfo<PstVariant>& info) {
    return info.param == PstVariant::Unicode ? "Unicode" : "Ansi";
}

}  // namespace kestrel::test

#define KESTREL_BOTH_LAYOUTS(suite)                                                    \
    INSTANTIATE_TEST_SUITE_P(Layouts, suite,                                           \
                             ::testing::Values(PstVariant::Ansi, PstVariant::Unicode), \
                             ::kestrel::test::LayoutName)
