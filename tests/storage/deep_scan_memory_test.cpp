// The deep scan's memory: a 2 GB file is scanned under an address-space limit of 1 GB.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "load_image.h"
#include "storage/deep_scan.h"

namespace kestrel {
namespace {

#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_UNDER_SANITIZER 1
#endif
#endif

TEST(DeepScanMemory, TwoGigabyteSparseFileScansUnderOneGigabyteOfAddressSpace) {
#ifdef KESTREL_UNDER_SANITIZER
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#else
    // A small sound file, then sparse zeros up to 2 GB.
    test::PstBuilder pst(PstVariant::Unicode);
    test::AddStore(pst);
    const std::vector<uint8_t> image = pst.Build();
    test::ScratchPath scratch{std::filesystem::temp_directory_path() /
                              ("kestrel-sparse-" + std::to_string(::getpid()) + ".pst")};
    {
        std::ofstream out(scratch.path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
    }
    constexpr uint64_t kSize = 2ull << 30;
    std::filesystem::resize_file(scratch.path, kSize);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit limit{1ull << 30, 1ull << 30};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
        PstContext context;
        if (OpenPstFile(context, scratch.path.string()) != kOpenOk) ::_exit(4);
        LoadIndexes(context);
        const DeepScanReport report = DeepScan(context, ScanReason::Requested);
        // The store's block is found; the zeros add nothing.
        ::_exit(report.blocks == 1 && !report.stopped ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the scan died";
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
}  // namespace kestrel
