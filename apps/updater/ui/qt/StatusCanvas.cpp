#include "StatusCanvas.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <algorithm>

#include "MessageBoxes.h"
#include "core/UpdaterState.h"
#include "core/WindowProcedure.h"

namespace ui_qt {

namespace {

// The picture's top-left corner as first drawn, unscaled, and the rectangle
// the whole picture is stretched into (most of the first copy is covered).
constexpr int kUnscaledWidth = 320;
constexpr int kUnscaledHeight = 480;
const QRect kStretchRect(0, -80, 300, 550);

constexpr int kTextFlags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;

}  // namespace

namespace {

// The pixel premultiplied, whatever the image's format.
QRgb premultipliedPixel(const QImage& image, int x, int y) {
    const QImage::Format f = image.format();
    if (f == QImage::Format_ARGB32_Premultiplied) {
        return reinterpret_cast<const QRgb*>(image.constScanLine(y))[x];
    }
    if (f == QImage::Format_RGB32) {
        return reinterpret_cast<const QRgb*>(image.constScanLine(y))[x] | 0xff000000u;
    }
    if (f == QImage::Format_ARGB32) {
        return qPremultiply(reinterpret_cast<const QRgb*>(image.constScanLine(y))[x]);
    }
    return qPremultiply(image.pixel(x, y));
}

}  // namespace

// Both work pixel by pixel on purpose: Qt's own conversions and smooth
// scaling of images this large hand the work to a thread pool.
QImage areaScaled(const QImage& src, QSize size) {
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    if (src.isNull() || size.isEmpty()) return out;
    const double fx = double(src.width()) / size.width();
    const double fy = double(src.height()) / size.height();
    for (int y = 0; y < size.height(); ++y) {
        const double y0 = y * fy, y1 = (y + 1) * fy;
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const double x0 = x * fx, x1 = (x + 1) * fx;
            // Each source pixel counts with the part of it the target covers.
            double a = 0, r = 0, g = 0, b = 0, total = 0;
            for (int sy = int(y0); sy < y1 && sy < src.height(); ++sy) {
                const double wy = std::min<double>(sy + 1, y1) - std::max<double>(sy, y0);
                for (int sx = int(x0); sx < x1 && sx < src.width(); ++sx) {
                    const double w = wy * (std::min<double>(sx + 1, x1) - std::max<double>(sx, x0));
                    const QRgb p = premultipliedPixel(src, sx, sy);
                    a += w * qAlpha(p);
                    r += w * qRed(p);
                    g += w * qGreen(p);
                    b += w * qBlue(p);
                    total += w;
                }
            }
            if (total <= 0) total = 1;
            line[x] = qRgba(int(r / total + 0.5), int(g / total + 0.5), int(b / total + 0.5),
                            int(a / total + 0.5));
        }
    }
    return out;
}

QImage premultipliedCopy(const QImage& src, QRect area) {
    area = area.intersected(src.rect());
    QImage out(area.size(), QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < area.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < area.width(); ++x) {
            line[x] = premultipliedPixel(src, area.x() + x, area.y() + y);
        }
    }
    return out;
}

StatusCanvas::StatusCanvas(QWidget* parent)
    : QWidget(parent), background_(QStringLiteral(":/art/background.png")) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    corner_ = premultipliedCopy(background_, QRect(0, 0, kUnscaledWidth, kUnscaledHeight));
}

void StatusCanvas::invalidate() {
    marked_ = true;
    const core::UpdaterState& st = core::state();
    syncAccessibleTexts(displayText(st.statusTitle()), displayText(st.statusDetail()));
    QWidget::update();
}

void StatusCanvas::syncAccessibleTexts(const QString& title, const QString& detail) {
    // Without the blank lines and spaces that only place the painted texts;
    // set only on a change, since each change is an event to the reader.
    const QString name = title.trimmed();
    const QString description = detail.trimmed();
    if (accessibleName() != name) setAccessibleName(name);
    if (accessibleDescription() != description) setAccessibleDescription(description);
}

void StatusCanvas::paintIfMarked() {
    if (!marked_) return;
    // Painted now, not later: the window thread may be busy with the device
    // for a while, and the status must show meanwhile.
    repaint();
}

QFont StatusCanvas::warningFont() const {
    QFont font = this->font();
    int pixels = 31;
    font.setPixelSize(pixels);
    while (pixels > 8 && QFontMetrics(font).height() > 31) {
        font.setPixelSize(--pixels);
    }
    return font;
}

void StatusCanvas::drawBackground(QPainter& painter) {
    painter.fillRect(rect(), Qt::black);
    if (background_.isNull()) return;
    painter.drawImage(0, 0, corner_);
    const qreal ratio = devicePixelRatioF();
    const QSize target = (QSizeF(kStretchRect.size()) * ratio).toSize();
    if (scaled_.size() != target) {
        // An area average, as a halftone stretch gives, computed once.
        scaled_ = areaScaled(background_, target);
        scaled_.setDevicePixelRatio(ratio);
    }
    painter.drawImage(kStretchRect.topLeft(), scaled_);
}

void StatusCanvas::paintEvent(QPaintEvent*) {
    marked_ = false;
    QPainter painter(this);
    drawBackground(painter);

    const core::UpdaterState& st = core::state();
    painter.setPen(QColor(255, 255, 255));
    const QString title = displayText(st.statusTitle());
    painter.setFont(fontFor(title, font()));
    painter.drawText(titleRect(), kTextFlags, title);
    const QString detail = displayText(st.statusDetail());
    painter.setFont(fontFor(detail, font()));
    painter.drawText(detailRect(), kTextFlags, detail);
    syncAccessibleTexts(title, detail);

    if (core::unplugWarningShown()) {
        painter.setFont(warningFont());
        painter.setPen(QColor(255, 0, 0));
        painter.drawText(warningRect(), kTextFlags, QString::fromUtf8(core::kUnplugWarningText));
    }
}

}  // namespace ui_qt
