#pragma once

#include <QPixmap>
#include <QPushButton>
#include <cstdint>

#include "controls/glyph_look.h"

// The window's picture button. It paints itself completely: a background colour per state, a
// flat look (a border only while hot or pressed) or a 3-D bevel, an image (an icon pair or a
// bitmap pair with a transparent colour) beside or above a word-wrapped centred caption, the
// embossed disabled look, a focus rectangle, and an optional tooltip. Clicks reach the owner as
// ordinary clicks. Colours are 0xRRGGBB.
class CGlyphButton : public QPushButton {
    Q_OBJECT
  public:
    using ColorSlot = glyph::ColorSlot;
    using Result = glyph::Result;
    using enum glyph::ColorSlot;
    using enum glyph::Result;
    static constexpr int kGreyIdle = glyph::kGreyIdle;

    // `checkBoxMode` is fixed for the button's life, as the type it was created with.
    explicit CGlyphButton(QWidget* parent = nullptr, bool checkBoxMode = false);

    int LoadIcons(int activeId, int idleId);
    int LoadBitmaps(int activeId, std::uint32_t activeTransparent, int idleId,
                    std::uint32_t idleTransparent);
    // The same with pictures in hand instead of ids (a null idle picture means none).
    int SetIconPixmaps(const QPixmap& active, const QPixmap& idle);
    int SetBitmapPixmaps(const QPixmap& active, std::uint32_t activeTransparent,
                         const QPixmap& idle, std::uint32_t idleTransparent);
    int SetFlatStyle(bool flat, bool repaint = true);
    int SetImagePlacement(std::uint8_t placement, bool repaint = true);
    void SetImageMargins(int left, int top, int right, int bottom);
    int SetStateColor(std::uint8_t slot, std::uint32_t color, bool repaint = true);
    int ShadeStateColor(std::uint8_t slot, int shade, bool repaint = true);
    int ResetStateColors(bool repaint = true);
    // A null text does nothing; an inactive tooltip keeps its text but does not show.
    void SetTipText(const QString& text, bool activate);
    int SetChecked(bool checked, bool repaint = true);
    bool IsChecked() const;

    std::uint32_t StateColor(std::uint8_t slot) const { return m_look.StateColor(slot); }
    bool IsHot() const { return m_bMouseOnButton; }
    int ActiveImageId() const { return m_activeId; }
    QString TipText() const { return m_tipActive ? m_tipText : QString(); }

    bool m_bEmbossDisabledBitmap = true;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    virtual int PaintBackground(QPainter& painter, const QRect& rect);
    virtual int PaintFlatBorder(QPainter& painter, const QRect& rect);

  private:
    void ClearHot();
    // The result, with a repaint when it is BTNST_OK and one is asked for.
    int Repainted(int result, bool repaint);
    void ReleaseImages();
    void PaintImage(QPainter& painter, const QRect& client, bool pressed, QRect& caption);

    struct Images {
        QPixmap active;
        QPixmap idle;
        bool bitmaps = false;
    } m_images;
    int m_activeId = 0;
    int m_idleId = 0;
    glyph::Look m_look;
    bool m_bMouseOnButton = false;
    bool m_bIsCheckBox = false;
    QString m_tipText;
    bool m_tipActive = false;
};
