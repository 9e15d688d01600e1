#include "controls/folder_tree_ctrl.h"

#include <QHeaderView>
#include <array>

namespace kestrel {

CFolderTreeCtrl::CFolderTreeCtrl(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(1);
    header()->hide();
    // Long disk labels scroll rather than lose their ends.
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    setIconSize(QSize(16, 16));
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { Click(item); });
    connect(this, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* item) { Click(item); });
}

int CFolderTreeCtrl::DriveImage(DriveType type) {
    switch (type) {
        case DriveType::CdRom:
            return kCdRomImage;
        case DriveType::RemovableA:
            return kFloppyImage;
        case DriveType::Removable:
            return kRemovableImage;
        case DriveType::Fixed:
        case DriveType::Other:
            break;
    }
    return kFixedImage;
}

QIcon CFolderTreeCtrl::Picture(int image) {
    static const std::array<const char*, kImageCount> kFiles = {
        ":/icons/drive-0-computer.svg", ":/icons/drive-1-partition.svg",
        ":/icons/drive-2-cdrom.svg",    ":/icons/drive-3-removable.svg",
        ":/icons/drive-4-floppy.svg",   ":/icons/drive-5-fixed.svg",
        ":/icons/drive-6-image.svg",    ":/icons/drive-7-open-image.svg"};
    if (image < 0 || image >= kImageCount) return {};
    return QIcon(QString::fromLatin1(kFiles[static_cast<size_t>(image)]));
}

QTreeWidgetItem* CFolderTreeCtrl::ResetRoot(const QString& label) {
    clear();
    return Add(nullptr, label, Kind::Root, kComputerImage);
}

QTreeWidgetItem* CFolderTreeCtrl::Add(QTreeWidgetItem* parent, const QString& label, Kind kind,
                                      int image) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
    item->setText(0, label);
    item->setIcon(0, Picture(image));
    item->setData(0, kKindRole, static_cast<int>(kind));
    item->setData(0, kImageRole, image);
    return item;
}

QTreeWidgetItem* CFolderTreeCtrl::AddDrive(QTreeWidgetItem* parent, const QString& label,
                                           DriveType type, const QString& source, int index) {
    QTreeWidgetItem* item = Add(parent, label, Kind::Disk, DriveImage(type));
    item->setData(0, kSourceRole, source);
    item->setData(0, kIndexRole, index);
    return item;
}

QTreeWidgetItem* CFolderTreeCtrl::AddImageFile(QTreeWidgetItem* parent, const QString& label,
                                               const QString& source) {
    QTreeWidgetItem* item = Add(parent, label, Kind::ImageFile, kDiskImageFileImage);
    item->setData(0, kSourceRole, source);
    item->setData(0, kIndexRole, -1);
    return item;
}

QTreeWidgetItem* CFolderTreeCtrl::AddChooseImage(QTreeWidgetItem* parent, const QString& label) {
    return Add(parent, label, Kind::ChooseImage, kOpenImageImage);
}

QTreeWidgetItem* CFolderTreeCtrl::AddPartition(QTreeWidgetItem* parent, const QString& label,
                                               int position) {
    QTreeWidgetItem* item = Add(parent, label, Kind::Partition, kPartitionImage);
    item->setData(0, kIndexRole, position);
    return item;
}

CFolderTreeCtrl::Kind CFolderTreeCtrl::KindOf(const QTreeWidgetItem* item) {
    return item ? static_cast<Kind>(item->data(0, kKindRole).toInt()) : Kind::Root;
}

void CFolderTreeCtrl::Click(QTreeWidgetItem* item) {
    if (!item) return;
    if (clickMode_ == kDiskClicks) {
        setCurrentItem(item);
        switch (KindOf(item)) {
            case Kind::Disk:
            case Kind::ImageFile:
                emit diskClicked(item);
                break;
            case Kind::ChooseImage:
                emit chooseImageClicked();
                break;
            default:
                break;
        }
    } else if (clickMode_ == kPartitionClicks) {
        // Only partitions are picked; the other items keep the tree's own behaviour.
        if (!item->text(0).startsWith(QStringLiteral("Partition"))) return;
        setCurrentItem(item);
        emit partitionClicked(item);
    }
}

}  // namespace kestrel
