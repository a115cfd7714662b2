#include "StatusCanvas.h"

#include <QFontMetrics>
#include <QPainter>

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

StatusCanvas::StatusCanvas(QWidget* parent)
    : QWidget(parent), background_(QStringLiteral(":/art/background.png")) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StatusCanvas::invalidate() {
    marked_ = true;
    QWidget::update();
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
    painter.drawPixmap(0, 0, background_, 0, 0, kUnscaledWidth, kUnscaledHeight);
    const qreal ratio = devicePixelRatioF();
    const QSize target = (QSizeF(kStretchRect.size()) * ratio).toSize();
    if (scaled_.size() != target) {
        scaled_ = background_.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        scaled_.setDevicePixelRatio(ratio);
    }
    painter.drawPixmap(kStretchRect.topLeft(), scaled_);
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

    if (core::unplugWarningShown()) {
        painter.setFont(warningFont());
        painter.setPen(QColor(255, 0, 0));
        painter.drawText(warningRect(), kTextFlags, QString::fromUtf8(core::kUnplugWarningText));
    }
}

}  // namespace ui_qt
