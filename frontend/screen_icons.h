#pragma once
// The pictures of the recovery screen, drawn for this program and built into it.
#include <QIcon>

namespace kestrel {

// Folder icon index (0..14, FolderIconIndex); an empty icon outside the range.
QIcon FolderIcon(int index);
// The item list's icon index (0..14: 0 appointment, 1 contact, 5 journal entry, 7 note,
// 10 task, 13 mail, ...); an empty icon outside the range.
QIcon ItemIcon(int index);
// The window's icon.
QIcon WindowIcon();

}  // namespace kestrel
