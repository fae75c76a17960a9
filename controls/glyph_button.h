#pragma once

#include <QPushButton>
#include <cstdint>

// The window's picture button. This first version shows its icon through QPushButton and
// remembers which pictures it was given; its own drawing comes later.
class CGlyphButton : public QPushButton {
    Q_OBJECT
  public:
    explicit CGlyphButton(QWidget* parent = nullptr);

    // Active and idle icon ids (idle: 0 none, -2 a grey copy of the active one).
    int LoadIcons(int activeId, int idleId);
    int LoadBitmaps(int activeId, std::uint32_t activeTransparent, int idleId,
                    std::uint32_t idleTransparent);
    int ActiveImageId() const { return m_activeId; }
    void SetTipText(const QString& text, bool activate);

  private:
    int m_activeId = 0;
    int m_idleId = 0;
};
