#include "HistoryChartView.h"

#include "Palette.h"
#include "TextScale.h"
#include "format/VovirFormat.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {

constexpr int64_t kLongestSpanMs = VovirHistory::kSpanSeconds * 1000;
constexpr int64_t kMinuteMs = 60 * 1000;
constexpr int64_t kShortestSpanMs = 5 * kMinuteMs;

} // namespace

HistoryChartView::HistoryChartView(const QString& title, VovirHistory::Series series, QColor colour,
                                   Formatter format, double ceiling, QWidget* parent)
    : QWidget(parent), m_title(title), m_series(series), m_colour(colour),
      m_format(std::move(format)), m_ceiling(ceiling)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    updateAccessibleName();
}

QSize HistoryChartView::sizeHint() const
{
    return {pt(560), pt(150)};
}

QSize HistoryChartView::minimumSizeHint() const
{
    return {pt(320), pt(150)};
}

void HistoryChartView::setHistory(const VovirHistory* history, int64_t nowMs)
{
    m_history = history;
    m_nowMs = nowMs;
    // The time since the first point in whole minutes, from 5 up to the hour: a history that
    // has just begun fills the chart instead of a sliver at its right.
    const int64_t kept = history && history->size() > 0 ? nowMs - history->at(0).atMs : 0;
    m_spanMs =
        std::clamp((kept + kMinuteMs - 1) / kMinuteMs * kMinuteMs, kShortestSpanMs, kLongestSpanMs);
    updateAccessibleName();
    update();
}

float HistoryChartView::valueAt(size_t index) const
{
    return m_history->at(index).values[m_series];
}

QRectF HistoryChartView::plotArea() const
{
    // Room for the title above, the time axis below and the scale on the right.
    return QRectF(pt(8), pt(26), width() - pt(8) - pt(64), height() - pt(26) - pt(22));
}

double HistoryChartView::top() const
{
    if (m_ceiling > 0 || !m_history)
        return m_ceiling > 0 ? m_ceiling : 1;
    float highest = 0;
    for (size_t i = 0; i < m_history->size(); ++i)
        if (!VovirHistory::isAbsent(valueAt(i)))
            highest = std::max(highest, valueAt(i));
    return std::max(double(highest) * 1.15, 10.0 * 1024);
}

double HistoryChartView::xOf(int64_t atMs) const
{
    // Inside the frame, so that the newest point is not under its edge.
    const QRectF area = plotArea().adjusted(3, 0, -3, 0);
    return area.right() - double(m_nowMs - atMs) / double(m_spanMs) * area.width();
}

void HistoryChartView::pickAt(int x)
{
    if (!m_history || m_history->size() == 0)
        return;
    const QRectF area = plotArea();
    const int64_t atMs = m_nowMs - int64_t((area.right() - x) / area.width() * double(m_spanMs));
    size_t best = 0;
    for (size_t i = 1; i < m_history->size(); ++i)
        if (std::abs(m_history->at(i).atMs - atMs) < std::abs(m_history->at(best).atMs - atMs))
            best = i;
    m_pickedAtMs = m_history->at(best).atMs;
    updateAccessibleName();
    update();
}

QString HistoryChartView::pickedText() const
{
    if (!m_history || m_pickedAtMs < 0)
        return QString();
    for (size_t i = 0; i < m_history->size(); ++i)
        if (m_history->at(i).atMs == m_pickedAtMs) {
            const float value = valueAt(i);
            return (VovirHistory::isAbsent(value) ? QStringLiteral("pas de mesure")
                                                  : m_format(value)) +
                   QStringLiteral(" \u00B7 ") + VovirFormat::ago((m_nowMs - m_pickedAtMs) / 1000);
        }
    return QString();
}

void HistoryChartView::updateAccessibleName()
{
    // A screen reader hears the figure now, or the point picked with the arrows.
    QString now = QStringLiteral("aucune mesure");
    if (m_history && m_history->size() > 0 &&
        !VovirHistory::isAbsent(valueAt(m_history->size() - 1)))
        now = m_format(valueAt(m_history->size() - 1));
    const QString picked = pickedText();
    setAccessibleName(m_title + QStringLiteral(" : ") + (picked.isEmpty() ? now : picked));
    if (QAccessible::isActive() && hasFocus()) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void HistoryChartView::mouseMoveEvent(QMouseEvent* event)
{
    pickAt(int(event->position().x()));
}

void HistoryChartView::leaveEvent(QEvent*)
{
    m_pickedAtMs = -1;
    updateAccessibleName();
    update();
}

void HistoryChartView::keyPressEvent(QKeyEvent* event)
{
    if (!m_history || m_history->size() == 0 ||
        (event->key() != Qt::Key_Left && event->key() != Qt::Key_Right)) {
        QWidget::keyPressEvent(event);
        return;
    }
    // From the newest point, one sample at a time.
    size_t index = m_history->size() - 1;
    for (size_t i = 0; i < m_history->size(); ++i)
        if (m_history->at(i).atMs == m_pickedAtMs)
            index = i;
    if (m_pickedAtMs >= 0)
        index = event->key() == Qt::Key_Left ? (index > 0 ? index - 1 : 0)
                                             : std::min(index + 1, m_history->size() - 1);
    m_pickedAtMs = m_history->at(index).atMs;
    updateAccessibleName();
    update();
}

void HistoryChartView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colours = palette();
    const QRectF area = plotArea();
    const double scaleTop = top();
    const bool have = m_history && m_history->size() > 0;
    if (hasFocus()) { // around the whole chart, apart from its line
        painter.setPen(QPen(vovirCyan().resolve(colours), 2));
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 8, 8);
    }

    painter.setFont(systemFont(13, QFont::DemiBold));
    painter.setPen(labelColor(colours, LabelTone::Primary));
    const QRectF titleLine(area.left(), 0, width() - area.left() * 2, pt(22));
    painter.drawText(titleLine, Qt::AlignLeft | Qt::AlignVCenter, m_title);
    const QString picked = pickedText();
    painter.setFont(monospacedDigitFont(12, QFont::Normal));
    painter.setPen(
        labelColor(colours, picked.isEmpty() ? LabelTone::Secondary : LabelTone::Primary));
    QString latest;
    if (have && !VovirHistory::isAbsent(valueAt(m_history->size() - 1)))
        latest = m_format(valueAt(m_history->size() - 1));
    painter.drawText(titleLine, Qt::AlignRight | Qt::AlignVCenter,
                     picked.isEmpty() ? latest : picked);

    // The frame, the scale and the time axis.
    painter.setFont(systemFont(10, QFont::Normal));
    painter.setPen(QPen(labelColor(colours, 0.12), 1));
    painter.setBrush(labelColor(colours, 0.04));
    painter.drawRoundedRect(area, 6, 6);
    painter.setPen(labelColor(colours, LabelTone::Secondary));
    for (double share : {1.0, 0.5}) {
        const double y = area.bottom() - share * area.height();
        painter.drawText(QRectF(area.right() + pt(6), y - pt(8), pt(64), pt(16)),
                         Qt::AlignLeft | Qt::AlignVCenter, m_format(share * scaleTop));
    }
    // A mark every few whole minutes: 4 to 6 along the span.
    const int64_t spanMinutes = m_spanMs / 60'000;
    const int64_t step = spanMinutes <= 5    ? 1
                         : spanMinutes <= 10 ? 2
                         : spanMinutes <= 20 ? 5
                         : spanMinutes <= 40 ? 10
                                             : 15;
    for (int64_t minutes = 0; minutes <= spanMinutes; minutes += step) {
        const double x = area.right() - double(minutes) / double(spanMinutes) * area.width();
        const Qt::Alignment side = minutes == spanMinutes ? Qt::AlignLeft
                                   : minutes == 0         ? Qt::AlignRight
                                                          : Qt::AlignHCenter;
        const double left = side == Qt::AlignLeft    ? x
                            : side == Qt::AlignRight ? x - pt(120)
                                                     : x - pt(60);
        painter.drawText(QRectF(left, area.bottom() + pt(2), pt(120), pt(18)),
                         side | Qt::AlignVCenter, VovirFormat::ago(minutes * 60));
    }

    if (!have) {
        painter.drawText(area, Qt::AlignCenter, QStringLiteral("Pas encore de mesures"));
        return;
    }
    // The line, broken where the figure was absent, over a light fill.
    QPainterPath line, fill;
    bool drawing = false, any = false;
    double lastX = 0, lastY = 0;
    int run = 0; // points in the current stretch: a lone one is drawn as a dot
    auto closeFill = [&] {
        if (drawing) {
            fill.lineTo(lastX, area.bottom());
            fill.closeSubpath();
            if (run == 1)
                line.addEllipse(QPointF(lastX, lastY), 1.5, 1.5);
        }
        run = 0;
    };
    painter.setClipRect(area);
    for (size_t i = 0; i < m_history->size(); ++i) {
        const float value = valueAt(i);
        if (VovirHistory::isAbsent(value)) {
            closeFill();
            drawing = false;
            continue;
        }
        const double x = xOf(m_history->at(i).atMs);
        const double y = area.bottom() - 2 -
                         std::clamp(double(value) / scaleTop, 0.0, 1.0) * (area.height() - 4);
        if (!drawing) {
            line.moveTo(x, y);
            fill.moveTo(x, area.bottom());
            fill.lineTo(x, y);
        } else {
            line.lineTo(x, y);
            fill.lineTo(x, y);
        }
        drawing = any = true;
        lastX = x;
        lastY = y;
        ++run;
    }
    closeFill();
    if (!any) {
        painter.setPen(labelColor(colours, LabelTone::Secondary));
        painter.drawText(area, Qt::AlignCenter, QStringLiteral("Aucune mesure sur cette machine"));
        return;
    }
    QColor light = m_colour;
    light.setAlphaF(0.18);
    painter.fillPath(fill, light);
    painter.setPen(QPen(m_colour, 1.6));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(line);

    if (m_pickedAtMs >= 0) {
        const double x = xOf(m_pickedAtMs);
        painter.setPen(QPen(labelColor(colours, 0.35), 1, Qt::DashLine));
        painter.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
    }
}
