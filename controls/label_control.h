#pragma once

#include <QLabel>
#include <cstdint>

// The wrapper of the window's text labels: a caption, a text colour and a background colour
// that the window sets as properties. Colours are 0xRRGGBB.
class CLabelControl : public QLabel {
    Q_OBJECT
  public:
    // The class identifier of the label component these labels stand for.
    static constexpr const char* kClassId = "{978C9E23-D4B0-11CE-BF2D-00AA003F40D0}";

    explicit CLabelControl(QWidget* parent = nullptr);

    void SetBackColor(std::uint32_t color);
    void SetCaption(const QString& caption);
    void SetForeColor(std::uint32_t color);

    std::uint32_t BackColor() const { return m_clrBack; }
    std::uint32_t ForeColor() const { return m_clrFore; }

  private:
    std::uint32_t m_clrBack = 0xECE9D8;  // the stored background, replaced at start-up
    std::uint32_t m_clrFore = 0x000000;
};

// 0xRRGGBB to a QColor and back.
QColor RgbColor(std::uint32_t rgb);
std::uint32_t ColorRgb(const QColor& color);
