#pragma once
// Opens the recovery screen on a file with scripted answers to its questions, and waits
// for what it does.
#include <gtest/gtest.h>

#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>

#include "frontend/app_state.h"
#include "frontend/folder_tree.h"
#include "frontend/repair_recover.h"
#include "frontend/screen_observer.h"
#include "frontend/screen_prompts.h"
#include "ui_repair_recover.h"

namespace kestrel::test {

// Saves a picture of widget into $KESTREL_SCREENSHOT_DIR when that is set.
inline void Shot(QWidget& widget, const char* name) {
    const char* dir = std::getenv("KESTREL_SCREENSHOT_DIR");
    if (!dir || !*dir) return;
    QTest::qWait(300);  // paint only; nothing is asserted on time
    QDir().mkpath(dir);
    EXPECT_TRUE(widget.grab().save(QString(dir) + "/" + name));
}

// Answers the screen's questions from a script (Yes when it runs out) and records them.
class ScriptedPrompts : public ScreenPrompts {
  public:
    std::deque<bool> answers;
    std::vector<QString> asked, informed, details;
    int pstPicks = 0, destinationPicks = 0, imagePicks = 0;
    std::optional<QString> pickedDestination, pickedImage;

    bool Ask(QWidget*, const QString& question) override {
        asked.push_back(question);
        if (answers.empty()) return true;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void Inform(QWidget*, const QString& text, const QString& more) override {
        informed.push_back(text);
        details.push_back(more);
    }
    std::optional<QString> PickPstFile(QWidget*) override {
        ++pstPicks;
        return pickedPst;
    }
    std::optional<QString> PickDiskImage(QWidget*) override {
        ++imagePicks;
        return pickedImage;
    }
    std::optional<QString> PickDestination(QWidget*, const QString&) override {
        ++destinationPicks;
        return pickedDestination;
    }
    bool AskAs(QWidget* owner, const QString& caption, const QString& question) override {
        captions.push_back(caption);
        return Ask(owner, question);
    }
    void Fail(QWidget*, const QString& caption, const QString& text) override {
        captions.push_back(caption);
        failed.push_back(text);
    }
    std::optional<QString> PickFolderTitled(QWidget*, const QString& title,
                                            const QString&) override {
        pickTitles.push_back(title);
        return pickedFolder;
    }
    std::optional<SaveChoice> ChooseSave(QWidget*, const QString& destination) override {
        saveOffered.push_back(destination);
        return saveChoice;
    }
    void ShowText(QWidget*, const QString& file) override { shownFiles.push_back(file); }
    bool ConfirmSaved(QWidget*) override {
        ++completions;
        return viewLogAtCompletion;
    }

    std::optional<QString> pickedPst, pickedFolder;
    std::optional<SaveChoice> saveChoice;
    bool viewLogAtCompletion = false;
    int completions = 0;
    std::vector<QString> captions, failed, pickTitles, saveOffered, shownFiles;
};

// Holds the worker in its holdAt-th FolderAdded until Release.
class HoldingObserver : public ScreenObserver {
  public:
    explicit HoldingObserver(int holdAt) : holdAt_(holdAt) {}
    void FolderAdded(const std::string& path, const std::string& containerClass, uint32_t nid,
                     bool mail) override {
        std::unique_lock lock(mutex_);
        if (++seen_ == holdAt_) {
            held_ = true;
            wake_.notify_all();
            wake_.wait(lock, [this] { return released_; });
        }
        lock.unlock();
        ScreenObserver::FolderAdded(path, containerClass, nid, mail);
    }
    bool Held() {
        std::lock_guard lock(mutex_);
        return held_;
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        wake_.notify_all();
    }

  private:
    int holdAt_;
    int seen_ = 0;
    bool held_ = false, released_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
};

class ScreenTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (holding_) holding_->Release();
        screen_.reset();
        App().dialogBusy = false;
    }

    // Opens the screen on file; observer (null: the screen's own) must outlive it.
    RepairRecover& OpenScreen(const std::filesystem::path& file,
                              ScreenObserver* observer = nullptr) {
        screen_ = std::make_unique<RepairRecover>(file.string(), &prompts_, observer);
        screen_->hooks().endProgram = [this](int code) { endCodes_.push_back(code); };
        screen_->resize(1100, 720);
        screen_->show();
        screen_->Open();
        return *screen_;
    }

    // Waits for the worker's last call.
    void WaitForEnd() {
        ASSERT_TRUE(QTest::qWaitFor([this] { return !screen_->engine().Running(); }, 60000));
        // The queued calls of the run's end reach the widgets.
        QCoreApplication::processEvents();
        QTest::qWait(0);
        QCoreApplication::processEvents();
    }

    // Selects the folder of nid and waits until its list is there.
    void Select(uint32_t nid) {
        QSignalSpy applied(screen_.get(), &RepairRecover::viewApplied);
        QTreeWidgetItem* item = screen_->ui().folderTree->ItemOf(nid);
        ASSERT_NE(item, nullptr) << nid;
        screen_->ui().folderTree->setCurrentItem(item);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                for (const auto& call : applied)
                    if (call.at(0).toUInt() == nid) return true;
                return false;
            },
            20000));
    }

    // Clicks row and waits until the preview has loaded the page it wrote.
    void Preview(int row) {
        QSignalSpy loaded(screen_->ui().preview, &QWebEngineView::loadFinished);
        screen_->ShowMessagePreview(row);
        ASSERT_TRUE(QTest::qWaitFor([&] { return loaded.count() > 0; }, 20000));
    }

    QStringList Column(int column) {
        QStringList texts;
        QTableWidget* list = screen_->ui().itemList;
        for (int r = 0; r < list->rowCount(); ++r)
            texts << (list->item(r, column) ? list->item(r, column)->text() : QString());
        return texts;
    }

    // Holds the worker in its holdAt-th folder; made before the screen that uses it.
    HoldingObserver& Holding(int holdAt) {
        holdingOwner_ = std::make_unique<HoldingObserver>(holdAt);
        holding_ = holdingOwner_.get();
        return *holding_;
    }

    ScriptedPrompts prompts_;
    std::unique_ptr<HoldingObserver> holdingOwner_;
    HoldingObserver* holding_ = nullptr;
    std::unique_ptr<RepairRecover> screen_;
    std::vector<int> endCodes_;
};

}  // namespace kestrel::test
