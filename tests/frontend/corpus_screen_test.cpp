// The recovery screen on a real file of the corpus: the whole run, a folder listed and a
// message previewed; screenshots of the three go to $KESTREL_SCREENSHOT_DIR when it is set.
#include <QDir>
#include <QProgressBar>
#include <QPushButton>
#include <QWebEngineView>
#include <cstdlib>

#include "screen_fixture.h"
#include "support/test_paths.h"

namespace kestrel::test {
namespace {

class CorpusScreen : public ScreenTest {
  protected:
    // Grabs the screen once the preview has painted what it loaded.
    void Shot(const char* name) {
        const char* dir = std::getenv("KESTREL_SCREENSHOT_DIR");
        if (!dir || !*dir) return;
        QTest::qWait(1500);  // paint only; nothing is asserted on time
        QDir().mkpath(dir);
        EXPECT_TRUE(screen_->grab().save(QString(dir) + "/" + name));
    }
};

TEST_F(CorpusScreen, AnalysesTheFileListsAFolderAndPreviewsAMessage) {
    const std::filesystem::path file = CorpusDir() / "aspose_Outlook.pst";
    if (!std::filesystem::exists(file)) GTEST_SKIP() << "no corpus file " << file.string();
    RepairRecover& screen = OpenScreen(file);
    QSignalSpy navigated(&screen, &RepairRecover::previewNavigated);
    WaitForEnd();
    const AnalysisResult result = screen.engine().Snapshot();
    ASSERT_EQ(result.status, AnalysisStatus::Completed);
    ASSERT_FALSE(navigated.isEmpty());
    EXPECT_TRUE(navigated.last().at(0).toString().endsWith("/completed.html"));

    // One tree item per folder NID the walk met; the counters as the engine counted.
    PstFolderTree* tree = screen.ui().folderTree;
    for (const MailFolderEntry& folder : result.folders.entries()) {
        EXPECT_NE(tree->ItemOf(folder.folderNid), nullptr) << folder.path;
    }
    EXPECT_EQ(screen.CounterField("Total  Mail")->text(),
              QString::number(result.counters.totalMail));
    EXPECT_TRUE(screen.ui().progressBar->isHidden());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !screen.ui().preview->page()->isLoading(); }, 10000));
    tree->expandAll();
    Shot("recovery-completed.png");

    // The mail folder with the most messages, listed and its first message previewed.
    const MailFolderEntry* fullest = nullptr;
    for (const MailFolderEntry& folder : result.folders.entries()) {
        if (folder.mail && (!fullest || folder.messages.size() > fullest->messages.size()))
            fullest = &folder;
    }
    ASSERT_NE(fullest, nullptr);
    ASSERT_FALSE(fullest->messages.empty());
    Select(fullest->folderNid);
    EXPECT_EQ(screen.ui().itemList->rowCount(), static_cast<int>(fullest->messages.size()));
    Shot("recovery-folder.png");
    Preview(0);
    EXPECT_EQ(screen.ui().subjectValue->text(), screen.ui().itemList->item(0, 1)->text());
    screen.ui().itemList->selectRow(0);
    Shot("recovery-preview.png");
}

}  // namespace
}  // namespace kestrel::test
