#pragma once
// The disk tree of the first screen and the partition tree of the partition screen: a
// "My Computer" root, drives with a picture by their kind, partitions under a disk, and
// the click rules that pick a disk (click mode 0) or a partition (click mode 1); in any
// other mode a click is a plain tree click.
#include <QTreeWidget>

namespace kestrel {

class CFolderTreeCtrl : public QTreeWidget {
    Q_OBJECT
  public:
    // Pictures of the 16 by 16 image list.
    enum Image {
        kComputerImage = 0,
        kPartitionImage = 1,
        kCdRomImage = 2,
        kRemovableImage = 3,
        kFloppyImage = 4,
        kFixedImage = 5,
        kDiskImageFileImage = 6,
        kOpenImageImage = 7,
        kImageCount = 8
    };
    enum class DriveType { Fixed, CdRom, RemovableA, Removable, Other };
    // What an item stands for (kKindRole).
    enum class Kind { Root = 0, Disk, ImageFile, ChooseImage, Partition };
    static constexpr int kKindRole = Qt::UserRole;
    // The device or image file of a drive item.
    static constexpr int kSourceRole = Qt::UserRole + 1;
    // A drive's index in the disk table, a partition's position.
    static constexpr int kIndexRole = Qt::UserRole + 2;
    // The item's picture (Image).
    static constexpr int kImageRole = Qt::UserRole + 3;

    static constexpr int kDiskClicks = 0;
    static constexpr int kPartitionClicks = 1;

    explicit CFolderTreeCtrl(QWidget* parent = nullptr);

    // The picture of a drive by its kind: fixed 5, CD-ROM 2, removable "A" 4, other
    // removable 3, anything else 5.
    static int DriveImage(DriveType type);
    static QIcon Picture(int image);

    // Empties the tree and puts in the root ("My Computer").
    QTreeWidgetItem* ResetRoot(const QString& label);
    QTreeWidgetItem* root() const { return topLevelItemCount() ? topLevelItem(0) : nullptr; }
    QTreeWidgetItem* AddDrive(QTreeWidgetItem* parent, const QString& label, DriveType type,
                              const QString& source, int index);
    QTreeWidgetItem* AddImageFile(QTreeWidgetItem* parent, const QString& label,
                                  const QString& source);
    QTreeWidgetItem* AddChooseImage(QTreeWidgetItem* parent, const QString& label);
    QTreeWidgetItem* AddPartition(QTreeWidgetItem* parent, const QString& label, int position);
    static Kind KindOf(const QTreeWidgetItem* item);

    int clickMode() const { return clickMode_; }
    void SetClickMode(int mode) { clickMode_ = mode; }
    // Runs the click rules on item as a mouse click (or Enter) on it does.
    void Click(QTreeWidgetItem* item);

  signals:
    // Click mode 0: a disk or an image file was picked, or "Disk image..." asked for.
    void diskClicked(QTreeWidgetItem* item);
    void chooseImageClicked();
    // Click mode 1: a partition was picked (an item whose label begins with "Partition").
    void partitionClicked(QTreeWidgetItem* item);

  private:
    QTreeWidgetItem* Add(QTreeWidgetItem* parent, const QString& label, Kind kind, int image);

    int clickMode_ = kDiskClicks;
};

}  // namespace kestrel
