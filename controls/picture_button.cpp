#include "controls/picture_button.h"

#include <QIcon>

namespace kestrel {

PictureButton::PictureButton(QWidget* parent) : QToolButton(parent) {
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setIconSize(QSize(32, 32));
    setFocusPolicy(Qt::StrongFocus);
}

void PictureButton::SetPicture(const QString& iconPath, const QString& toolTip) {
    setIcon(QIcon(iconPath));
    setToolTip(toolTip);
    setText(toolTip);
    setAccessibleName(toolTip);
}

}  // namespace kestrel
