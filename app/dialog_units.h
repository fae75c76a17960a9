#pragma once

#include <QFont>
#include <QRect>

// Converts the window template's dialog units to pixels with the dialog font's base units: the
// average width of A-Z a-z (over 52, rounded) and the font's height. Computed once per font.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    QRect Rect(int x, int y, int width, int height) const;
    int X(int units) const;
    int Y(int units) const;

  private:
    int m_baseX;
    int m_baseY;
};
