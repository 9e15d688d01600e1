// The disk path of the wizard: the first screen's disk tree with a picked image, the
// partition screen's fields, messages and Next rules on an image built here, and carving
// a built mailbox out of an image from the search screen.
// Screenshots go to $KESTREL_SCREENSHOT_DIR when it is set.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <cstdlib>
#include <fstream>
#include <random>

#include <fmt/format.h>

#include "controls/folder_tree_ctrl.h"
#include "frontend/disk_selection.h"
#include "frontend/part_screen.h"
#include "frontend/search_screen.h"
#include "platform/settings.h"
#include "screen_fixture.h"
#include "support/disk_image_builder.h"
#include "support/mailbox_builder.h"
#include "ui_disk_selection.h"
#include "ui_part_screen.h"
#include "ui_settings.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

QStringList Children(const QTreeWidgetItem* item) {
    QStringList texts;
    for (int i = 0; item && i < item->childCount(); ++i) texts << item->child(i)->text(0);
    return texts;
}

QStringList Rows(const QTreeWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(0);
    return texts;
}

class DiskScreens : public ScreenTest {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestrel-disks-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        // An MBR with an NTFS and a FAT32 partition, 16384 sectors in all.
        auto mbr = TableSector();
        SetMbrEntry(mbr, 0, 0x07, 2048, 4096);
        SetMbrEntry(mbr, 1, 0x0C, 8192, 8192);
        image_ = root_ / "disk.img";
        ASSERT_TRUE(WriteSparseImage(
            image_, 16384 * 512,
            {{0, mbr}, {2048 * 512, BootSectorOf("NTFS")}, {8192 * 512, BootSectorOf("FAT32")}}));
        App().selectedDiskSource = image_.string();
        App().selectedDiskName = "Disk 0 - " + image_.string();
        App().selectedDiskIndex = 0;
        App().modeName = "Search and Recover";
        App().languageFile = "EnglishA.dat";
        App().destinationFolder.clear();
        App().chosenPstPath.clear();
    }
    void TearDown() override {
        ScreenTest::TearDown();
        App().childOpen = false;
        App().selectedDiskSource.clear();
        App().destinationFolder.clear();
        App().languageFile = "EnglishA.dat";
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path root_, image_;
};

TEST_F(DiskScreens, DiskTreeListsTheDisksAndAPickedImageLeadsToItsPartitions) {
    DiskSelection first(&prompts_);
    first.hooks().listDisks = [] {
        return std::vector<DiskEntry>{{"sda", "/dev/sda", 500107862016ull, "Samsung SSD 860"},
                                      {"mmcblk0", "/dev/mmcblk0", 31914983424ull, "", true}};
    };
    first.resize(760, 560);
    first.show();
    EXPECT_TRUE(first.ui().modePanel->isHidden());
    QAction* diskMenu = nullptr;
    for (QAction* action : first.menuBar()->actions().front()->menu()->actions())
        if (action->text() == "Search &Disk or Image...") diskMenu = action;
    ASSERT_NE(diskMenu, nullptr);
    diskMenu->trigger();
    EXPECT_TRUE(first.ui().modePanel->isVisible());

    CFolderTreeCtrl* tree = first.ui().diskTree;
    ASSERT_NE(tree->root(), nullptr);
    EXPECT_EQ(tree->root()->text(0), "My Computer");
    QStringList labels = Children(tree->root());
    ASSERT_EQ(labels.size(), 3);
    EXPECT_TRUE(labels[0].startsWith("Disk 0 - /dev/sda (")) << labels[0].toStdString();
    EXPECT_TRUE(labels[0].endsWith(", Samsung SSD 860)")) << labels[0].toStdString();
    EXPECT_TRUE(labels[1].startsWith("Disk 1 - /dev/mmcblk0 (")) << labels[1].toStdString();
    EXPECT_EQ(labels[2], "Disk image...");
    // Fixed disks show picture 5, removable ones 3.
    EXPECT_EQ(tree->root()->child(0)->data(0, CFolderTreeCtrl::kImageRole).toInt(), 5);
    EXPECT_EQ(tree->root()->child(1)->data(0, CFolderTreeCtrl::kImageRole).toInt(), 3);

    // A disk click picks it; Cancel in the image dialog changes nothing.
    tree->Click(tree->root()->child(0));
    EXPECT_EQ(App().selectedDiskSource, "/dev/sda");
    EXPECT_EQ(App().selectedDiskIndex, 0);
    EXPECT_TRUE(first.ui().modeNextButton->isEnabled());
    tree->Click(tree->root()->child(2));
    EXPECT_EQ(prompts_.imagePicks, 1);
    EXPECT_EQ(Children(tree->root()).size(), 3);

    // A picked image joins the tree before "Disk image..." and is the disk now.
    prompts_.pickedImage = QString::fromStdString(image_.string());
    tree->Click(tree->root()->child(2));
    labels = Children(tree->root());
    ASSERT_EQ(labels.size(), 4);
    EXPECT_TRUE(labels[2].startsWith("Disk 2 - " + QString::fromStdString(image_.string())));
    EXPECT_EQ(labels[3], "Disk image...");
    EXPECT_EQ(App().selectedDiskSource, image_.string());
    EXPECT_EQ(App().selectedDiskName, labels[2].toStdString());
    EXPECT_EQ(tree->currentItem(), tree->root()->child(2));
    first.ui().searchRecoverRadio->click();
    Shot(first, "disk-tree.png");

    // The mode panel's Next opens the partition screen on it; Back comes back here.
    QStringList partitions;
    int clickModeThere = -1;
    first.hooks().runPartitions = [&](PartScreen& screen) {
        partitions = Children(screen.ui().partitionTree->root()->child(0));
        clickModeThere = App().treeClickMode;
        screen.Back();
    };
    first.ui().modeNextButton->click();
    EXPECT_EQ(partitions, (QStringList{"Partition - 1 ( NTFS )", "Partition - 2 ( FAT32 )"}));
    EXPECT_EQ(clickModeThere, CFolderTreeCtrl::kPartitionClicks);
    EXPECT_EQ(App().treeClickMode, CFolderTreeCtrl::kDiskClicks);
    EXPECT_TRUE(first.isVisible());
    EXPECT_EQ(first.focusStep(), 3);

    // A disk that cannot be opened is said so, and the screen stays.
    fs::remove(image_);
    partitions.clear();
    first.ui().modeNextButton->click();
    ASSERT_FALSE(prompts_.informed.empty());
    EXPECT_TRUE(prompts_.informed.back().contains("cannot be read: No such file or directory"))
        << prompts_.informed.back().toStdString();
    EXPECT_TRUE(partitions.isEmpty());
}

TEST_F(DiskScreens, PartitionScreenChecksItsFieldsAndNextsRangeIn64Bits) {
    PartScreen screen(&prompts_);
    std::vector<std::array<uint64_t, 3>> ranges;
    screen.hooks().runSearch = [&](Settings& search) {
        EXPECT_FALSE(search.ui().carveButton->isHidden());
        ranges.push_back({App().rangeStart, App().rangeEnd, App().rangeEndAsEntered});
    };
    screen.hooks().endProgram = [this](int code) { endCodes_.push_back(code); };
    screen.resize(760, 480);
    screen.Open();
    screen.show();
    auto& ui = screen.ui();
    EXPECT_EQ(screen.windowTitle(), "Select Partition");
    EXPECT_EQ(ui.partitionGroup->title(), "Select Partition");
    EXPECT_EQ(ui.detailsGroup->title(), "Partition Details");
    EXPECT_EQ(ui.parametersGroup->title(), "Partition Parameters");
    EXPECT_EQ(ui.detailsList->headerItem()->text(0), QString(53, ' ') + "Partition Details");
    EXPECT_EQ(ui.startLabel->text(), "Start Sector");
    EXPECT_EQ(ui.endLabel->text(), "End Sector");
    EXPECT_TRUE(ui.hiddenNextButton->isHidden());
    EXPECT_EQ(ui.hiddenBackButton->text(), "&Back");
    EXPECT_EQ(
        Rows(ui.detailsList),
        (QStringList{"Disk Number : 0", "Partition Number : 1", "Partition Type : NTFS",
                     "Mode : Search and Recover", "Start Sector : 2048", "End Sector : 6144"}));
    EXPECT_EQ(ui.startField->text(), "2048");
    EXPECT_EQ(ui.endField->text(), "6144");

    QTreeWidgetItem* disk = ui.partitionTree->root()->child(0);
    ui.partitionTree->Click(disk->child(1));
    EXPECT_EQ(Rows(ui.detailsList)[1], "Partition Number : 2");
    EXPECT_EQ(Rows(ui.detailsList)[2], "Partition Type : FAT32");
    EXPECT_EQ(ui.startField->text(), "8192");
    EXPECT_EQ(ui.endField->text(), "16384");
    // The disk item is no partition: its click changes nothing.
    ui.partitionTree->Click(disk);
    EXPECT_EQ(ui.startField->text(), "8192");
    Shot(screen, "partition-screen.png");

    // Every change is checked: the messages keep their blanks, the field its last value.
    ui.startField->clear();
    EXPECT_EQ(prompts_.informed.back(), "Invalid start sector" + QString(41, ' '));
    EXPECT_EQ(ui.startField->text(), "8192");
    ui.startField->setText("-5");
    EXPECT_EQ(prompts_.informed.back(),
              "Start sector should be greater than zero" + QString(20, ' '));
    EXPECT_EQ(ui.startField->text(), "8192");
    ui.endField->setText("12x");
    EXPECT_EQ(prompts_.informed.back(), "Invalid end sector" + QString(55, ' '));
    ui.endField->setText("-1");
    EXPECT_EQ(prompts_.informed.back(),
              "End sector should be greater than zero" + QString(34, ' '));
    EXPECT_EQ(ui.endField->text(), "16384");
    const size_t informed = prompts_.informed.size();
    ui.startField->setText("0");
    EXPECT_EQ(prompts_.informed.size(), informed);

    // Next: the end must reach start + 2.
    ui.startField->setText("100");
    ui.endField->setText("101");
    screen.Next();
    EXPECT_EQ(prompts_.failed.back(), "End sector should be bigger than start sector");
    EXPECT_TRUE(ranges.empty());
    EXPECT_EQ(App().treeClickMode, CFolderTreeCtrl::kPartitionClicks);
    ui.endField->setText("102");
    screen.Next();
    // Past 2^32 sectors nothing wraps.
    ui.endField->setText("4294967298");
    ui.startField->setText("4294967296");
    screen.Next();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0], (std::array<uint64_t, 3>{100, 101, 102}));
    EXPECT_EQ(ranges[1], (std::array<uint64_t, 3>{4294967296ull, 4294967297ull, 4294967298ull}));
    EXPECT_TRUE(screen.isVisible());
    EXPECT_EQ(screen.focusStep(), 4);

    // Texts that slipped past the field checks are stopped at Next.
    ui.startField->blockSignals(true);
    ui.startField->setText("");
    screen.Next();
    EXPECT_EQ(prompts_.failed.back(), "Start sector is not valid");
    ui.startField->setText("-3");
    screen.Next();
    EXPECT_EQ(prompts_.informed.back(), "Start sector should be greater than zero");
    ui.startField->blockSignals(false);
    EXPECT_EQ(ranges.size(), 2u);

    // Exit waits while the search screen is up; No keeps the screen.
    App().childOpen = true;
    screen.Exit();
    App().childOpen = false;
    EXPECT_TRUE(prompts_.asked.empty());
    prompts_.answers = {false};
    screen.Exit();
    EXPECT_EQ(prompts_.asked.back(), "Do you want to exit ?");
    EXPECT_TRUE(endCodes_.empty());
    screen.Back();
    EXPECT_EQ(screen.result(), QDialog::Rejected);
    EXPECT_EQ(App().treeClickMode, CFolderTreeCtrl::kDiskClicks);

    // The texts come from the chosen language file.
    App().languageFile = "FrenchA.dat";
    PartScreen french(&prompts_);
    french.Open();
    EXPECT_EQ(french.ui().partitionGroup->title(), "Sélectionner la partition");
    EXPECT_EQ(french.ui().hiddenBackButton->text(), "&Précédent");
}

TEST_F(DiskScreens, CarveCopiesAMailboxOutOfTheImageAndListsIt) {
    MailboxBuilder box(PstVariant::Unicode);
    box.AddMessage(box.Folder("Inbox"), MakeMail("Lost", "Ann Lee", "ann@example.com", "text"));
    const std::vector<uint8_t> pst = box.Build();
    // Random bytes around the mailbox, which starts at an odd sector.
    std::mt19937 random(5);
    std::vector<uint8_t> bytes(2048 * 512);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    constexpr size_t kSector = 333;
    bytes.resize(std::max(bytes.size(), kSector * 512 + pst.size() + 4096));
    std::copy(pst.begin(), pst.end(), bytes.begin() + kSector * 512);
    bytes.resize((bytes.size() + 511) / 512 * 512);
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    const fs::path out = root_ / "carved";
    App().destinationFolder = out.string();
    Settings search(&prompts_);
    search.SetCarveSource(QString::fromStdString(image_.string()), 0, bytes.size() / 512);
    search.resize(860, 520);
    search.show();
    QSignalSpy finished(&search, &Settings::carveFinished);
    search.ui().carveButton->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 30000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), 1);
    QTableWidget* list = search.ui().fileList;
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(list->item(0, 0)->text(), "carved-333.pst");
    const fs::path carved = out / "carved-333.pst";
    EXPECT_EQ(list->item(0, 1)->text().toStdString(), carved.string());
    EXPECT_EQ(search.ui().statusText->text(), "1 PST files carved");
    EXPECT_EQ(search.ui().carveButton->text(), "Carve");
    std::ifstream in(carved, std::ios::binary);
    const std::vector<uint8_t> back((std::istreambuf_iterator<char>(in)), {});
    EXPECT_TRUE(back == pst);
    search.RowClicked(0);
    EXPECT_EQ(App().chosenPstPath, carved.string());
    Shot(search, "search-carved.png");

    // Again: the file there is not overwritten, and the screen says why none came.
    search.ui().carveButton->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 2; }, 30000));
    EXPECT_EQ(list->rowCount(), 0);
    ASSERT_FALSE(prompts_.details.empty());
    EXPECT_TRUE(prompts_.details.back().contains("exists already"));

    // The disk the destination lives on is refused as a source (a short range of it, should
    // the refusal ever fail).
    struct stat at {};
    ASSERT_EQ(::stat(out.c_str(), &at), 0);
    std::ifstream uevent(
        fmt::format("/sys/dev/block/{}:{}/uevent", major(at.st_dev), minor(at.st_dev)));
    std::string line, device;
    while (std::getline(uevent, line))
        if (line.rfind("DEVNAME=", 0) == 0) device = "/dev/" + line.substr(8);
    struct stat node {};
    if (device.empty() || ::stat(device.c_str(), &node) != 0 || !S_ISBLK(node.st_mode))
        GTEST_SKIP() << "the scratch folder is on no block device this test can name";
    search.SetCarveSource(QString::fromStdString(device), 0, 2048);
    search.ui().carveButton->click();
    EXPECT_FALSE(search.carving());
    EXPECT_TRUE(prompts_.informed.back().contains("is on the disk being carved"))
        << prompts_.informed.back().toStdString();
    EXPECT_EQ(finished.count(), 2);
}

}  // namespace
}  // namespace kestrel::test
