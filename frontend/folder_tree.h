#pragma once
// The tree of a PST file's folders on the recovery screen: one item per folder NID, put
// under its parent by path, an icon by name or container class, and check boxes that
// spread to descendants and ancestors with the bold marks.
#include <QHash>
#include <QTreeWidget>
#include <cstdint>
#include <string_view>

namespace kestrel {

// The image of a folder by its display name or container class (both compared in upper
// case), evaluated as six steps each overriding the one before; defaultIndex when no
// rule matches.
int FolderIconIndex(std::string_view displayName, std::string_view containerClass,
                    int defaultIndex);

// Folder icons: 0 a folder, 1 an open (selected) folder, 2..14 by FolderIconIndex.
inline constexpr int kFolderIconCount = 15;

class PstFolderTree : public QTreeWidget {
    Q_OBJECT
  public:
    // Roles of an item's data in column 0.
    static constexpr int kNidRole = Qt::UserRole;
    static constexpr int kIconRole = Qt::UserRole + 1;
    static constexpr int kPathRole = Qt::UserRole + 2;

    explicit PstFolderTree(QWidget* parent = nullptr);

    // The item of folderNid: a NID met again is the same folder. A new one goes last under
    // the folder of its parent path (the latest item of that path: children follow their
    // parent in the walk, so of two same-named siblings the newer is theirs).
    QTreeWidgetItem* AddFolder(const QString& path, const QString& containerClass,
                               uint32_t folderNid);
    QTreeWidgetItem* ItemOf(uint32_t folderNid) const { return byNid_.value(folderNid); }
    // Empties the tree and its keys.
    void ClearFolders();
    // Ticks or clears item and its descendants, then sets the ancestors and bold marks as a
    // click on its check box does.
    void SetChecked(QTreeWidgetItem* item, bool checked);

  signals:
    // A folder became the current one (click or keyboard).
    void folderSelected(uint32_t folderNid);
    // Check marks changed (after they spread).
    void checksChanged();

  private:
    void OnItemChanged(QTreeWidgetItem* item, int column);
    void OnCurrentChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void SetIcon(QTreeWidgetItem* item, int index);

    QHash<uint32_t, QTreeWidgetItem*> byNid_;
    QHash<QString, QTreeWidgetItem*> latestByPath_;
    bool spreading_ = false;
};

}  // namespace kestrel
