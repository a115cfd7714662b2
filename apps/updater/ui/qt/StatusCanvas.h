// The main window's client area: the background picture scaled into the
// window, the status title and detail in white, and the red "Do not unplug
// GPS" warning while the device must stay connected. The action button, the
// progress bar and the log view are its children.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QWidget>

namespace ui_qt {

// `source` scaled to `size`, every target pixel the average of the source
// area it covers.
QImage areaScaled(const QImage& source, QSize size);
// The part `area` of `source`, premultiplied.
QImage premultipliedCopy(const QImage& source, QRect area);

class StatusCanvas : public QWidget {
    Q_OBJECT
  public:
    explicit StatusCanvas(QWidget* parent = nullptr);

    // Marks the whole area for painting, and gives the status texts to
    // assistive technology; paintIfMarked paints it at once.
    void invalidate();
    void paintIfMarked();

    // The rectangles of the texts, in client coordinates.
    static QRect titleRect() { return QRect(QPoint(10, 20), QPoint(279, 99)); }
    static QRect detailRect() { return QRect(QPoint(10, 380), QPoint(279, 499)); }
    static QRect warningRect() { return QRect(QPoint(10, 50), QPoint(279, 219)); }

    // The font of the warning: about 31 pixels from top to bottom of a line.
    QFont warningFont() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void drawBackground(QPainter& painter);
    // The texts are painted, not widgets: a screen reader reads them as the
    // canvas's accessible name (the title) and description (the detail).
    void syncAccessibleTexts(const QString& title, const QString& detail);

    QImage background_;
    QImage corner_;  // its top-left corner as first drawn
    QImage scaled_;  // the picture as stretched into the window, kept
    bool marked_ = false;
};

}  // namespace ui_qt
