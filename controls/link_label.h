#pragma once

#include <QPushButton>
#include <cstdint>

// The maker's web address as a link. This first version opens its caption on a left press;
// its own colours and drawing come later.
class CLinkLabel : public QPushButton {
    Q_OBJECT
  public:
    explicit CLinkLabel(QWidget* parent = nullptr);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
