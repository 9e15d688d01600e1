#pragma once
// A flat button that shows only a picture, with its name as tool tip (View Report, Help,
// Exit). Its text stays set, so keyboard users and screen readers still hear the name.
#include <QToolButton>

namespace kestrel {

class PictureButton : public QToolButton {
    Q_OBJECT
  public:
    explicit PictureButton(QWidget* parent = nullptr);
    // The picture (a resource path such as ":/icons/help.svg") and the name shown as tip.
    void SetPicture(const QString& iconPath, const QString& toolTip);
};

}  // namespace kestrel
