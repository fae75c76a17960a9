#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

#include "controls/glyph_button.h"
#include "controls/label_control.h"
#include "controls/link_label.h"
#include "res/pictures.h"
#include "tests/ui/ui_support.h"

namespace {

QColor Role(QPalette::ColorRole role) {
    return QApplication::palette().color(role);
}

QPixmap Solid(int w, int h, QColor color) {
    QPixmap pm(w, h);
    pm.fill(color);
    return pm;
}

// The smallest rectangle holding every pixel of `color`.
QRect Find(const QImage& image, QColor color) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == color.rgb())
                box |= QRect(x, y, 1, 1);
    return box;
}

// The pixel's colour as 0xRRGGBB, to compare with a role's.
std::uint32_t At(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}
std::uint32_t Rgb(QPalette::ColorRole role) {
    return Role(role).rgb() & 0xFFFFFF;
}

// Sends one synthetic pointer event to the widget, at a position in its own coordinates.
void Pointer(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::NoButton,
             Qt::MouseButtons held = Qt::NoButton) {
    QMouseEvent event(type, QPointF(at), w->mapToGlobal(QPointF(at)), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

bool Has(const QImage& image, QColor color) {
    return !Find(image, color).isNull();
}

// The part of the image holding every pixel that is not the ground colour.
QImage Ink(const QImage& image, QColor ground) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != ground.rgb())
                box |= QRect(x, y, 1, 1);
    return image.copy(box);
}

// The longest horizontal run of one colour in any row.
int LongestRun(const QImage& image, QColor color) {
    int longest = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0, run = 0; x < image.width(); ++x)
            longest = std::max(longest, run = image.pixel(x, y) == color.rgb() ? run + 1 : 0);
    return longest;
}

// Records the addresses the desktop is asked to open.
class UrlSink : public QObject {
    Q_OBJECT
  public slots:
    void open(const QUrl& url) { opened << url; }

  public:
    QList<QUrl> opened;
};

}  // namespace

class ControlsTest : public QObject {
    Q_OBJECT
  private slots:
    void imageAboveCaptionHonoursTheMargin();
    void flatLookHasNoBorderUntilHot();
    void bevelColours();
    void disabledCaptionIsEmbossed();
    void bannerBlackIsTransparent();
    void resetTakesTheSystemColours();
    void hotFollowsThePointerNotADrag();
    void doubleClickIsTwoClicks();
    void disablingMovesTheFocusOn();
    void tooltipAndIdleImages();
    void pictures();
    void linkColoursAndOneOpenPerPress();
    void labelProperties();
    void linkFontHeightIsTheCellOrTheEm_data();
    void linkFontHeightIsTheCellOrTheEm();
    void linkCaptionAndUnderlineFitTheWindowsControl();
    void logTabMovesToTheNextControl();
    void logScrollsWholeLinesOfItsOwnFont();
};

void ControlsTest::imageAboveCaptionHonoursTheMargin() {
    CGlyphButton button;
    button.resize(120, 80);
    button.setText(QStringLiteral("Download"));
    button.SetImagePlacement(1);
    button.SetImageMargins(0, 20, 0, 0);
    button.SetIconPixmaps(Solid(32, 32, Qt::red), QPixmap());
    const QImage image = button.grab().toImage();
    QCOMPARE(Find(image, Qt::red), QRect(44, 20, 32, 32));
    // The caption is centred in the area below y = 32 (not below the icon's bottom edge).
    const QRect caption = Find(image, Role(QPalette::ButtonText));
    QVERIFY(!caption.isNull());
    const int areaCentre = 32 + (80 - 32) / 2;
    QVERIFY(std::abs(caption.center().y() - areaCentre) <= 3);
}

void ControlsTest::flatLookHasNoBorderUntilHot() {
    CGlyphButton button;
    button.resize(40, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QImage image = button.grab().toImage();
    for (int x = 0; x < 40; ++x) {
        QCOMPARE(At(image, x, 0), Rgb(QPalette::Button));
        QCOMPARE(At(image, x, 29), Rgb(QPalette::Button));
    }
    Pointer(&button, QEvent::MouseMove, QPoint(20, 15));
    QVERIFY(button.IsHot());
    image = button.grab().toImage();
    QCOMPARE(At(image, 5, 0), Rgb(QPalette::Light));  // top: highlight
    QCOMPARE(At(image, 39, 5), Rgb(QPalette::Dark));  // right: shadow
}

void ControlsTest::bevelColours() {
    CGlyphButton button;
    button.resize(40, 30);
    button.SetFlatStyle(false);
    const QImage image = button.grab().toImage();
    QCOMPARE(At(image, 0, 10), Rgb(QPalette::Light));     // left: highlight
    QCOMPARE(At(image, 10, 0), Rgb(QPalette::Light));     // top: highlight
    QCOMPARE(At(image, 1, 10), Rgb(QPalette::Midlight));  // then 3-D light
    QCOMPARE(At(image, 10, 1), Rgb(QPalette::Midlight));
    QCOMPARE(At(image, 39, 10), Rgb(QPalette::Shadow));  // right: dark shadow
    QCOMPARE(At(image, 10, 29), Rgb(QPalette::Shadow));  // bottom: dark shadow
    QCOMPARE(At(image, 38, 10), Rgb(QPalette::Dark));    // then shadow
    QCOMPARE(At(image, 10, 28), Rgb(QPalette::Dark));
    QCOMPARE(At(image, 10, 10), Rgb(QPalette::Button));
}

void ControlsTest::disabledCaptionIsEmbossed() {
    CGlyphButton button;
    button.resize(80, 30);
    QFont font = button.font();
    font.setPixelSize(16);
    font.setStyleStrategy(QFont::NoAntialias);
    button.setFont(font);
    button.setText(QStringLiteral("Clear"));
    button.setEnabled(false);
    const QImage image = button.grab().toImage();
    const QRect shadow = Find(image, Role(QPalette::Dark));
    const QRect light = Find(image, Role(QPalette::Light));
    QVERIFY(!shadow.isNull() && !light.isNull());
    QCOMPARE(light.bottomRight(), shadow.bottomRight() + QPoint(1, 1));
    QVERIFY(!Has(image, Role(QPalette::ButtonText)));
}

void ControlsTest::bannerBlackIsTransparent() {
    CGlyphButton banner;
    banner.resize(460, 100);
    banner.m_bEmbossDisabledBitmap = false;
    QCOMPARE(banner.LoadBitmaps(133, 0x000000, 0, 0), 0);
    banner.setEnabled(false);
    const QImage image = banner.grab().toImage();
    QVERIFY(!Has(image, Qt::black));  // the banner's black ground shows the button face
    QCOMPARE(At(image, 21, 11), Rgb(QPalette::Button));  // the bitmap's corner
    QVERIFY(Has(image, QColor(0x40, 0x40, 0x48)));       // its text keeps its colours
}

// The shade and the result codes are the shared look's test; here the system's colours.
void ControlsTest::resetTakesTheSystemColours() {
    CGlyphButton button;
    QCOMPARE(button.ShadeStateColor(2, 30), 0);
    QCOMPARE(button.ResetStateColors(), 0);
    QCOMPARE(button.StateColor(2), ColorRgb(Role(QPalette::Button)));
    QCOMPARE(button.StateColor(5), ColorRgb(Role(QPalette::ButtonText)));
}

void ControlsTest::hotFollowsThePointerNotADrag() {
    QWidget window;
    window.resize(200, 100);
    CGlyphButton button(&window);
    button.setGeometry(50, 20, 60, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // A drag that enters the button with the left button held does not make it hot.
    Pointer(&button, QEvent::MouseMove, QPoint(10, 10), Qt::NoButton, Qt::LeftButton);
    QVERIFY(!button.IsHot());
    Pointer(&button, QEvent::MouseMove, QPoint(10, 10));
    QVERIFY(button.IsHot());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    QVERIFY(!button.IsHot());
    Pointer(&button, QEvent::MouseMove, QPoint(10, 10));
    QVERIFY(button.IsHot());
    Pointer(&button, QEvent::MouseMove, QPoint(-20, -5));  // captured, but outside
    QVERIFY(!button.IsHot());
}

void ControlsTest::doubleClickIsTwoClicks() {
    CGlyphButton button;
    button.resize(40, 30);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QSignalSpy clicks(&button, &QAbstractButton::clicked);
    // The platform's order for a double click: down, up, double-click, up.
    Pointer(&button, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
    Pointer(&button, QEvent::MouseButtonRelease, QPoint(5, 5), Qt::LeftButton);
    Pointer(&button, QEvent::MouseButtonDblClick, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
    Pointer(&button, QEvent::MouseButtonRelease, QPoint(5, 5), Qt::LeftButton);
    QCOMPARE(clicks.count(), 2);
}

void ControlsTest::disablingMovesTheFocusOn() {
    QWidget window;
    auto* edit = new QLineEdit(&window);
    auto* button = new CGlyphButton(&window);
    auto* after = new QLineEdit(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    edit->setFocus();
    QVERIFY(QTest::qWaitFor([&] { return edit->hasFocus(); }, 1000));
    button->setEnabled(false);  // the button did not hold the focus
    QVERIFY(after->hasFocus());
}

void ControlsTest::tooltipAndIdleImages() {
    CGlyphButton button;
    button.SetTipText(QStringLiteral("Open"), true);
    QCOMPARE(button.TipText(), QStringLiteral("Open"));
    button.SetTipText(QString(), true);  // a null text changes nothing
    QCOMPARE(button.TipText(), QStringLiteral("Open"));
    button.SetTipText(QStringLiteral("Open"), false);
    QCOMPARE(button.TipText(), QString());

    // Idle picture: shown while neither hot nor pressed; none means the active one always.
    button.resize(40, 40);
    button.SetIconPixmaps(Solid(8, 8, Qt::red), Solid(8, 8, Qt::blue));
    QVERIFY(Has(button.grab().toImage(), Qt::blue));
    button.SetIconPixmaps(Solid(8, 8, Qt::red), QPixmap());
    QVERIFY(Has(button.grab().toImage(), Qt::red));
    QCOMPARE(button.LoadIcons(141, 141), 0);
    QCOMPARE(button.ActiveImageId(), 141);
    QCOMPARE(button.LoadIcons(999, 0), 0);  // an unknown picture: no image, no error
    QCOMPARE(button.ActiveImageId(), 0);
}

void ControlsTest::pictures() {
    const struct {
        int id;
        QSize size;
    } sizes[] = {{128, {32, 32}}, {133, {420, 80}}, {140, {20, 20}}, {141, {20, 20}},
                 {149, {16, 16}}, {150, {16, 16}},  {151, {32, 32}}};
    for (const auto& s : sizes)
        QCOMPARE(Picture(s.id).size(), s.size);
    QVERIFY(Picture(1).isNull());
    QVERIFY(Picture(140).toImage() != Picture(141).toImage());
}

void ControlsTest::linkColoursAndOneOpenPerPress() {
    UrlSink sink;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &sink, "open");
    QWidget window;
    window.resize(300, 100);
    CLinkLabel link(&window);
    link.setText(QStringLiteral("pravune.example"));
    link.setGeometry(10, 10, 150, 20);
    link.m_clrCurrent = 0x326464;
    link.m_clrPressed = 0x6464FF;
    link.m_clrHover = 0xFF6464;
    link.m_clrNormal = 0x323264;
    QVERIFY(link.CreateLinkFont(19, 9, 0, 0, 400, 1, 1, 0, 0, 0, 0, 0, 0, "Arial"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(Has(link.grab().toImage(), QColor(0x32, 0x64, 0x64)));

    QCursor::setPos(window.mapToGlobal(QPoint(250, 80)));  // the pointer is elsewhere
    QVERIFY(link.StartHoverTimer());
    QVERIFY(link.StartHoverTimer());  // started once
    QVERIFY(QTest::qWaitFor([&] { return link.m_clrCurrent == 0x323264; }, 400));

    Pointer(&link, QEvent::MouseMove, QPoint(20, 10));
    QCOMPARE(link.m_clrCurrent, 0xFF6464u);
    Pointer(&link, QEvent::MouseButtonPress, QPoint(20, 10), Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(link.m_clrCurrent, 0x6464FFu);
    QCOMPARE(sink.opened, QList<QUrl>{QUrl(QStringLiteral("http://pravune.example"))});
    Pointer(&link, QEvent::MouseButtonRelease, QPoint(20, 10), Qt::LeftButton);
    QCOMPARE(link.m_clrCurrent, 0x323264u);
    // Leaving returns the normal colour at once; a pointer gone without a leave (away during a
    // press, say) within the poll's 300 ms.
    Pointer(&link, QEvent::MouseMove, QPoint(20, 10));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&link, &leave);
    QCOMPARE(link.m_clrCurrent, 0x323264u);
    QCursor::setPos(link.mapToGlobal(QPoint(20, 10)));
    Pointer(&link, QEvent::MouseMove, QPoint(20, 10));
    QTest::qWait(400);  // the pointer stays over the label: the poll leaves the hover colour
    QCOMPARE(link.m_clrCurrent, 0xFF6464u);
    QCursor::setPos(window.mapToGlobal(QPoint(250, 80)));
    QVERIFY(QTest::qWaitFor([&] { return link.m_clrCurrent == 0x323264; }, 400));
    Pointer(&link, QEvent::MouseMove, QPoint(20, 10));  // no leave will come: only the poll
    QCOMPARE(link.m_clrCurrent, 0xFF6464u);
    QVERIFY(QTest::qWaitFor([&] { return link.m_clrCurrent == 0x323264; }, 400));
    Pointer(&link, QEvent::MouseButtonPress, QPoint(20, 10), Qt::RightButton, Qt::RightButton);
    Pointer(&link, QEvent::MouseButtonRelease, QPoint(20, 10), Qt::RightButton);
    QSignalSpy clicked(&link, &QAbstractButton::clicked);
    link.setFocus();
    QTest::keyClick(&link, Qt::Key_Space);
    QTest::keyClick(&link, Qt::Key_Return);
    QCOMPARE(sink.opened.size(), 1);  // neither the right button nor the keyboard opens it
    QCOMPARE(clicked.count(), 0);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void ControlsTest::labelProperties() {
    CLabelControl label;
    QCOMPARE(QString::fromLatin1(CLabelControl::kClassId),
             QStringLiteral("{978C9E23-D4B0-11CE-BF2D-00AA003F40D0}"));
    label.SetCaption(QStringLiteral("SN: ABC123"));
    label.SetForeColor(0x008000);
    label.SetBackColor(0x123456);
    QCOMPARE(label.text(), QStringLiteral("SN: ABC123"));
    QCOMPARE(label.palette().color(QPalette::WindowText), QColor(0x00, 0x80, 0x00));
    QCOMPARE(label.palette().color(QPalette::Window), QColor(0x12, 0x34, 0x56));
    QCOMPARE(label.ForeColor(), 0x008000u);
}

void ControlsTest::linkFontHeightIsTheCellOrTheEm_data() {
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("cell");  // ascent + descent, or 0 where the height is the em
    QTest::newRow("window's cell 19") << 19 << 19;
    QTest::newRow("cell 30") << 30 << 30;
    QTest::newRow("em 17") << -17 << 0;
}

void ControlsTest::linkFontHeightIsTheCellOrTheEm() {
    QFETCH(int, height);
    QFETCH(int, cell);
    CLinkLabel link;
    QVERIFY(link.CreateLinkFont(height, 0, 0, 0, 400, 1, 1, 0, 0, 0, 0, 0, 0, "Arial"));
    const QFontMetrics fm(link.LinkFont());
    if (cell)
        QCOMPARE(fm.ascent() + fm.descent(), cell);
    else
        QCOMPARE(QFontInfo(link.LinkFont()).pixelSize(), -height);
}

void ControlsTest::linkCaptionAndUnderlineFitTheWindowsControl() {
    LoaderFixture f;
    CLoaderDlg& dlg = f.Open();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* link = f.Item<CLinkLabel>(IDC_LINK);
    // The same caption in the window's link font, with room to spare.
    QWidget roomy;
    roomy.setPalette(link->palette());
    CLinkLabel reference(&roomy);
    reference.setGeometry(0, 0, 400, 80);
    reference.setText(link->text());
    reference.CreateLinkFont(19, 9, 0, 0, 400, 1, 1, 0, 0, 0, 0, 0, 0, "Arial");
    reference.m_clrCurrent = link->m_clrCurrent;
    const QColor ground = link->palette().color(QPalette::Window);
    const QImage shown = link->grab().toImage();
    const QImage whole = Ink(reference.grab().toImage(), ground);
    QCOMPARE(Ink(shown, ground), whole);  // no glyph and no underline cut off
    QVERIFY(LongestRun(shown, RgbColor(link->m_clrCurrent)) > whole.width() * 3 / 4);
}

void ControlsTest::logTabMovesToTheNextControl() {
    LoaderFixture f;
    CLoaderDlg& dlg = f.Open();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* log = f.Item<QTextEdit>(IDC_LOG);
    const QString text = log->toPlainText();
    log->setFocus();
    QTest::keyClick(log, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), f.Item(IDC_PATH));  // the next in the tab order
    QTest::keyClick(f.Item(IDC_PATH), Qt::Key_Backtab);
    QVERIFY(log->hasFocus());
    QCOMPARE(log->toPlainText(), text);
}

// At the window's size, every append past ten lines leaves a line's top edge at the top of the
// view and the last line wholly in view; a line step up keeps the top on a line's edge.
void ControlsTest::logScrollsWholeLinesOfItsOwnFont() {
    LoaderFixture f;
    CLoaderDlg& dlg = f.Open();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* log = f.Item<QTextEdit>(IDC_LOG);
    QScrollBar* bar = log->verticalScrollBar();
    const QAbstractTextDocumentLayout* layout = log->document()->documentLayout();
    // How far the top line in view reaches above the view (less than 0 in the document's top
    // margin), and how far the last line reaches below it.
    const auto cut = [&] {
        QTextBlock top = log->document()->begin();
        while (layout->blockBoundingRect(top).bottom() <= bar->value())
            top = top.next();
        const qreal end = layout->blockBoundingRect(log->document()->lastBlock()).bottom();
        return std::pair{bar->value() - layout->blockBoundingRect(top).top(),
                         end - bar->value() - log->viewport()->height()};
    };
    dlg.ClearLog();
    for (int i = 1; i <= 30; ++i) {
        dlg.AppendLog("line " + std::to_string(i) + "\r\n", 0);
        const auto [above, below] = cut();
        QVERIFY2(above <= 0 && below <= 0, qPrintable(QString::number(i)));
    }
    QVERIFY(bar->value() > 0);
    bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(cut().first, 0.0);
    // Below the viewport the text area's colour goes on down to the frame.
    const QImage image = log->grab().toImage();
    for (int y = log->viewport()->geometry().bottom() + 1; y <= log->contentsRect().bottom(); ++y)
        QCOMPARE(At(image, 10, y), 0xEBEBEBu);
}

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"
