#pragma once

#include <QFont>
#include <QPushButton>
#include <cstdint>

// The maker's web address as a link: the caption alone, in an underlined italic font, in a
// colour that follows the pointer (normal, hover, pressed). The caption starts at the top-left
// corner and moves up or right only as far as keeps its underline and glyphs inside the control. A
// left press opens the caption as an address through the desktop, once per press; keyboard
// activation opens nothing. A 300 ms poll timer returns the normal colour once the pointer has
// left. Colours are 0xRRGGBB.
class CLinkLabel : public QPushButton {
    Q_OBJECT
  public:
    static constexpr int kHoverTimerId = 11;
    static constexpr int kHoverPeriodMs = 300;

    explicit CLinkLabel(QWidget* parent = nullptr);
    ~CLinkLabel() override;

    bool CreateLinkFont(int height, int width, int escapement, int orientation, int weight,
                        std::uint8_t italic, std::uint8_t underline, std::uint8_t strikeOut,
                        std::uint8_t charSet, std::uint8_t outPrecision, std::uint8_t clipPrecision,
                        std::uint8_t quality, std::uint8_t pitchAndFamily, const QString& face);
    bool StartHoverTimer();
    bool TimerOn() const { return m_bTimerOn; }
    const QFont& LinkFont() const { return m_font; }

    std::uint32_t m_clrHover = 0x140000;
    std::uint32_t m_clrPressed = 0x140000;
    std::uint32_t m_clrNormal;
    std::uint32_t m_clrCurrent;
    bool m_bTransparent = true;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    void SetCurrent(std::uint32_t color);
    QPoint CaptionOrigin(const QFont& font, const QStringList& lines) const;

    bool m_bTimerOn = false;
    int m_timerId = 0;
    bool m_haveFont = false;
    QFont m_font;
};
