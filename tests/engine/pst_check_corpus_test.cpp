// `check` on the real files: healthy in every layout (entries left past a page's count and
// blocks no node names are notes), and an allocation map that lies is named in each.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "pstwrite/pst_check.h"
#include "storage/crc.h"
#include "storage/pst_layout.h"
#include "support/test_paths.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(CheckCorpus, UntouchedFilesAreHealthy) {
    KESTREL_REQUIRE_CORPUS();
    for (const fs::path& file : CorpusFiles()) {
        const pstwrite::CheckReport report = pstwrite::CheckPstFile(file.string());
        EXPECT_TRUE(report.openFailure.empty()) << file;
        for (const auto& [kind, found] : report.problems)
            ADD_FAILURE() << file.filename() << ": " << kind << ": " << found.count << ", "
                          << (found.first.empty() ? "" : found.first.front());
    }
}

// The first AMap with its last set bit cleared and its page's CRC made right again: only
// the map's own meaning can tell.
TEST(CheckCorpus, AnAllocationMapThatFreesWhatIsInUseIsNamedInEachLayout) {
    KESTREL_REQUIRE_CORPUS();
    struct Case {
        const char* name;
        PstVariant variant;
        size_t amap, bitsFrom;
    };
    const Case cases[] = {{"gopst_32-bit.pst", PstVariant::Ansi, 0x4400, 4},
                          {"aspose_PersonalStorage.pst", PstVariant::Unicode, 0x4400, 0},
                          {"pstx_test.ost", PstVariant::Unicode4k, 0x22000, 0}};
    for (const Case& c : cases) {
        fs::path source;
        for (const fs::path& file : CorpusFiles())
            if (file.filename() == c.name) source = file;
        ASSERT_FALSE(source.empty()) << c.name;
        std::vector<uint8_t> bytes = ReadBytes(source);
        const PstLayout& layout = *PstLayout::For(c.variant);
        const size_t trailer = c.amap + layout.pageTrailerPos;
        size_t last = 0;
        for (size_t at = c.amap + c.bitsFrom; at < trailer; ++at)
            if (bytes[at]) last = at;
        ASSERT_NE(last, 0u) << c.name;
        bytes[last] &= static_cast<uint8_t>(bytes[last] - 1);  // its lowest set bit
        const uint32_t crc = PstCrc(bytes.data() + c.amap, layout.pageTrailerPos);
        for (size_t i = 0; i < 4; ++i)
            bytes[trailer + layout.trailerCrcPos + i] = static_cast<uint8_t>(crc >> (8 * i));
        ScratchFile copy(bytes, c.name);
        const pstwrite::CheckReport report = pstwrite::CheckPstFile(copy.path().string());
        EXPECT_EQ(report.variant, c.variant) << c.name;
        EXPECT_EQ(report.problems.count("pages"), 0u) << c.name;
        EXPECT_EQ(report.problems.count("allocation maps"), 1u) << c.name;
    }
}

}  // namespace
}  // namespace kestrel::test
