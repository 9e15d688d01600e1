#include "frontend/folder_tree.h"

#include <QIcon>
#include <algorithm>
#include <cctype>
#include <string>

#include "frontend/screen_icons.h"

namespace kestrel {

namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// "Personal Folders\Inbox\" -> "Inbox"; the parent path is what comes before it.
QString LastComponent(const QString& path) {
    QString trimmed = path;
    if (trimmed.endsWith('\\')) trimmed.chop(1);
    return trimmed.mid(trimmed.lastIndexOf('\\') + 1);
}

QString ParentPath(const QString& path) {
    QString trimmed = path;
    if (trimmed.endsWith('\\')) trimmed.chop(1);
    const qsizetype cut = trimmed.lastIndexOf('\\');
    return cut < 0 ? QString() : trimmed.left(cut + 1);
}

void SetSubtree(QTreeWidgetItem* item, Qt::CheckState state) {
    // Iterative, so a deep tree cannot exhaust the stack.
    std::vector<QTreeWidgetItem*> pending{item};
    while (!pending.empty()) {
        QTreeWidgetItem* next = pending.back();
        pending.pop_back();
        next->setCheckState(0, state);
        for (int i = 0; i < next->childCount(); ++i) pending.push_back(next->child(i));
    }
}

void SetBold(QTreeWidgetItem* item, bool bold) {
    QFont font = item->font(0);
    font.setBold(bold);
    item->setFont(0, font);
}

void SetBoldSubtree(QTreeWidgetItem* item) {
    std::vector<QTreeWidgetItem*> pending{item};
    while (!pending.empty()) {
        QTreeWidgetItem* next = pending.back();
        pending.pop_back();
        SetBold(next, next->checkState(0) == Qt::Checked);
        for (int i = 0; i < next->childCount(); ++i) pending.push_back(next->child(i));
    }
}

}  // namespace

int FolderIconIndex(std::string_view displayName, std::string_view containerClass,
                    int defaultIndex) {
    const std::string name = Upper(displayName);
    const std::string cls = Upper(containerClass);
    int index = defaultIndex;
    // (1)
    if (name == "CALENDAR" || cls == "IPF.APPOINTMENT") {
        index = 3;
    } else if (name == "PERSONAL FOLDERS") {
        index = 2;
    }
    // (2)
    if (name == "CONTACTS" || cls == "IPF.CONTACT") index = 4;
    // (3)
    if (name == "JOURNAL" || cls == "IPF.JOURNAL") {
        index = 8;
    } else if (name == "INBOX") {
        index = 7;
    } else if (name == "DRAFTS") {
        index = 6;
    } else if (name == "DELETED ITEMS") {
        index = 5;
    }
    // (4)
    if (name == "NOTES" || cls == "IPF.STICKYNOTE") {
        index = 10;
    } else if (name == "JUNK E-MAILS") {
        index = 9;
    }
    // (5)
    if (name == "TASKS" || cls == "IPF.TASK") {
        index = 13;
    } else if (name == "SENT ITEMS") {
        index = 12;
    } else if (name == "OUTBOX") {
        index = 11;
    }
    // (6)
    if (name == "SYNC ISSUES") index = 14;
    return index;
}

PstFolderTree::PstFolderTree(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setIconSize(QSize(16, 16));
    setUniformRowHeights(true);
    connect(this, &QTreeWidget::itemChanged, this, &PstFolderTree::OnItemChanged);
    connect(this, &QTreeWidget::currentItemChanged, this, &PstFolderTree::OnCurrentChanged);
}

void PstFolderTree::SetIcon(QTreeWidgetItem* item, int index) {
    const QSignalBlocker quiet(this);
    item->setIcon(0, FolderIcon(index));
}

QTreeWidgetItem* PstFolderTree::AddFolder(const QString& path, const QString& containerClass,
                                          uint32_t folderNid) {
    if (QTreeWidgetItem* known = byNid_.value(folderNid)) return known;
    const QString name = LastComponent(path);
    QTreeWidgetItem* parent = latestByPath_.value(ParentPath(path));
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
    const int icon = FolderIconIndex(name.toStdString(), containerClass.toStdString(), 0);
    const QSignalBlocker quiet(this);
    item->setText(0, name);
    item->setData(0, kNidRole, folderNid);
    item->setData(0, kIconRole, icon);
    item->setData(0, kPathRole, path);
    item->setToolTip(0, path);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    // A folder added below a ticked one is ticked with it, as the listing of a checked
    // item ticks everything below it.
    item->setCheckState(
        0, parent && parent->checkState(0) == Qt::Checked ? Qt::Checked : Qt::Unchecked);
    SetBold(item, item->checkState(0) == Qt::Checked);
    SetIcon(item, icon);
    byNid_.insert(folderNid, item);
    latestByPath_.insert(path, item);
    if (parent) parent->setExpanded(true);
    return item;
}

void PstFolderTree::ClearFolders() {
    const QSignalBlocker quiet(this);
    clear();
    byNid_.clear();
    latestByPath_.clear();
}

void PstFolderTree::SetChecked(QTreeWidgetItem* item, bool checked) {
    if (!item) return;
    spreading_ = true;
    {
        const QSignalBlocker quiet(this);
        SetSubtree(item, checked ? Qt::Checked : Qt::Unchecked);
        SetBoldSubtree(item);
        for (QTreeWidgetItem* up = item->parent(); up; up = up->parent()) {
            bool all = true;
            for (int i = 0; i < up->childCount(); ++i)
                all = all && up->child(i)->checkState(0) == Qt::Checked;
            up->setCheckState(0, all ? Qt::Checked : Qt::Unchecked);
        }
        for (QTreeWidgetItem* up = item->parent(); up; up = up->parent()) {
            bool bold = up->checkState(0) == Qt::Checked;
            for (int i = 0; i < up->childCount() && !bold; ++i) bold = up->child(i)->font(0).bold();
            SetBold(up, bold);
        }
    }
    spreading_ = false;
    viewport()->update();
    emit checksChanged();
}

void PstFolderTree::OnItemChanged(QTreeWidgetItem* item, int column) {
    if (spreading_ || column != 0) return;
    // Only a change of the check box gets here with a state its subtree does not share yet.
    SetChecked(item, item->checkState(0) == Qt::Checked);
}

void PstFolderTree::OnCurrentChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    // A folder with no icon of its own shows the open folder while it is the current one.
    if (previous && previous->data(0, kIconRole).toInt() == 0) SetIcon(previous, 0);
    if (!current) return;
    if (current->data(0, kIconRole).toInt() == 0) SetIcon(current, 1);
    emit folderSelected(current->data(0, kNidRole).toUInt());
}

}  // namespace kestrel
