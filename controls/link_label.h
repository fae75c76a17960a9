#pragma once

#include <QFont>
#include <QPushButton>
#include <cstdint>

// The maker's web address as a link: the caption alone, in an underlined italic font, in a
// colour that follows the pointer (normal, hover, pressed). The caption starts at the top-left
// corner and moves up or right only as far as keeps its underline and glyphs inside the control. A
// left press opens the caption as an address through the desktop, once per press; keyboard
// activation opens nothing. The pointer leaving the label returns the normal colour at once;
// a 300 ms poll of the pointer does it too, while the colour is not the normal one (a pointer
// that left during a press, or one that was never over the label at start). Colours are
// 0xRRGGBB; the label repaints only when its colour changes.
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
    // The poll is on (it runs while the colour is not the normal one).
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
    void leaveEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    // Sets the colour (a repaint only when it changes) and polls the pointer while it is not
    // the normal one.
    void SetCurrent(std::uint32_t color);
    QPoint CaptionOrigin(const QFont& font, const QStringList& lines) const;

    bool m_bTimerOn = false;
    int m_timerId = 0;  // the running poll's timer, 0 while it rests
    bool m_haveFont = false;
    QFont m_font;
};
