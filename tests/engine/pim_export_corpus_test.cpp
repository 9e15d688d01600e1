#include "engine/pim_export.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/quiet_analysis.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

struct Exported {
    std::string vcards;
    std::unique_ptr<CalendarFile> calendar = std::make_unique<CalendarFile>();
    std::vector<std::string> problems;
    size_t contacts = 0;
    size_t lists = 0;
    size_t events = 0;
    size_t tasks = 0;
};

Exported ExportFile(const std::string& name) {
    Exported out;
    AnalysisResult result;
    std::shared_ptr<ItemSource> source;
    test::AnalyseQuietly((test::CorpusDir() / name).string(), result, false, &source);
    if (!source) return out;
    for (const ContactEntry& e : result.contacts) {
        const auto full = source->Load(e.nid, e.dataBid);
        if (!full) continue;
        out.vcards += VCardOf(*full);
        ++(full->item->card && !full->item->card->members.empty() ? out.lists : out.contacts);
    }
    for (const CalendarEntry& e : result.calendar) {
        const auto full = source->Load(e.nid, e.dataBid);
        if (!full) continue;
        out.calendar->Add(*full, out.problems);
        ++out.events;
    }
    for (const TaskEntry& e : result.tasks) {
        const auto full = source->Load(e.nid, e.dataBid);
        if (!full) continue;
        out.calendar->Add(*full, out.problems);
        ++out.tasks;
    }
    return out;
}

// Runs tools/export_check.py --dump over the written files: it parses them with vobject and
// icalendar and prints what it found, one line per component.
std::string Check(const std::filesystem::path& dir, const Exported& e) {
    std::ofstream(dir / "items.vcf", std::ios::binary) << e.vcards;
    std::ofstream(dir / "items.ics", std::ios::binary) << e.calendar->Document();
    const auto report = dir / "report.txt";
    const std::string command =
        "/usr/bin/python3 " KESTREL_SOURCE_DIR "/tools/export_check.py --dump " + dir.string() +
        "/items.vcf " + dir.string() + "/items.ics > " + report.string() + " 2>&1";
    const int rc = std::system(command.c_str());
    std::ifstream in(report);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return rc == 0 ? text : "FAILED\n" + text;
}

class PimExportCorpus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP() << "no /usr/bin/python3";
        dir_ = std::filesystem::temp_directory_path() /
               ("kestrel-pim-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    std::filesystem::path dir_;
};

TEST_F(PimExportCorpus, ContactsParseAsVCards) {
    if (!std::filesystem::exists(test::CorpusDir() / "aspose_SampleContacts.pst"))
        GTEST_SKIP() << "no corpus";
    const Exported e = ExportFile("aspose_SampleContacts.pst");
    EXPECT_GT(e.contacts, 0u);
    const std::string report = Check(dir_, e);
    std::printf("%s", report.c_str());
    EXPECT_EQ(report.find("FAILED"), std::string::npos) << report;
}

TEST_F(PimExportCorpus, DistributionListKeepsEveryMember) {
    if (!std::filesystem::exists(test::CorpusDir() / "jlibpst_dist-list.pst"))
        GTEST_SKIP() << "no corpus";
    const Exported e = ExportFile("jlibpst_dist-list.pst");
    const std::string report = Check(dir_, e);
    std::printf("%s", report.c_str());
    EXPECT_EQ(report.find("FAILED"), std::string::npos) << report;
    EXPECT_EQ(e.lists, 1u);
    // One contact member and two one-off entries, all with addresses.
    EXPECT_NE(report.find("group test dist list members mailto:contact1@rjohnson.id.au "
                          "mailto:dist1@rjohnson.id.au mailto:dist2@rjohnson.id.au"),
              std::string::npos)
        << report;
    // The weekly series beside it, with its attachments' changed instances.
    // UID: the meeting's global object id, found through the map by property set.
    EXPECT_NE(report.find("VEVENT 040000008200E00074C5B7101A82E008000000"), std::string::npos)
        << report;
    // On the clock of the zone stored with it (Pacific time, daylight saving in August).
    EXPECT_NE(report.find("start 2016-08-02T08:00:00-07:00 RRULE "
                          "FREQ=WEEKLY;INTERVAL=1;BYDAY=TU;WKST=SU EXDATE "
                          "2016-08-09T08:00:00-07:00"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("start 2016-08-30T10:00:00-07:00 recurrence-id 2016-08-30T08:00:00-07:00"),
              std::string::npos)
        << report;
}

TEST_F(PimExportCorpus, CalendarItemsParseAsICalendar) {
    if (!std::filesystem::exists(test::CorpusDir() / "aspose_Outlook.pst"))
        GTEST_SKIP() << "no corpus";
    const Exported e = ExportFile("aspose_Outlook.pst");
    EXPECT_GT(e.events + e.tasks, 0u);
    const std::string report = Check(dir_, e);
    std::printf("%s", report.c_str());
    for (const auto& p : e.problems) std::printf("problem: %s\n", p.c_str());
    EXPECT_EQ(report.find("FAILED"), std::string::npos) << report;
}

}  // namespace
}  // namespace kestrel
