#include "HistoryWindow.h"

#include "format/VovirFormat.h"
#include "views/HistoryChartView.h"
#include "views/Palette.h"
#include "views/ScreenRoom.h"
#include "views/TextScale.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

HistoryWindow::HistoryWindow(const VovirHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), m_history(history)
{
    setObjectName(QStringLiteral("historyWindow"));
    setWindowTitle(QStringLiteral("Historique \u2014 VelmoraVovir"));
    const auto percent = [](double v) { return VovirFormat::percent(v); };
    const auto rate = [](double v) { return VovirFormat::ratePerSec(v); };
    const auto celsius = [](double v) { return VovirFormat::celsius(v); };
    const struct {
        const char* title;
        QColor colour;
        HistoryChartView::Formatter format;
        double ceiling;
    } charts[VovirHistory::SeriesCount] = {
        {"Processeur", vovirCyanFixed(), percent, 100},
        {"Mémoire", velmoraMauveFixed(), percent, 100},
        {"Réseau \u2193 réception", QColor(0x34, 0x9e, 0x5a), rate, 0},
        {"Réseau \u2191 envoi", QColor(0xd9, 0x7a, 0x1c), rate, 0},
        {"Batterie", QColor(0x3f, 0xa3, 0x3f), percent, 100},
        {"Température du processeur", QColor(0xd6, 0x45, 0x45), celsius, 100},
    };
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(pt(16), pt(12), pt(16), pt(12));
    layout->setSpacing(pt(14));
    for (int series = 0; series < VovirHistory::SeriesCount; ++series) {
        const auto& c = charts[series];
        m_charts[series] =
            new HistoryChartView(QString::fromUtf8(c.title), VovirHistory::Series(series), c.colour,
                                 c.format, c.ceiling);
        layout->addWidget(m_charts[series]);
    }
    m_scroll = new QScrollArea;
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setWidget(column);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_scroll);
    const QSize wanted(pt(620), column->sizeHint().height());
    const QSize room = roomOnScreen(this);
    resize(std::min(wanted.width(), room.width()), std::min(wanted.height(), room.height()));
}

void HistoryWindow::showSeries(VovirHistory::Series series)
{
    m_scroll->ensureWidgetVisible(m_charts[series], 0, pt(12));
    m_charts[series]->setFocus(Qt::OtherFocusReason);
}

void HistoryWindow::refresh(int64_t nowMs)
{
    m_nowMs = nowMs;
    if (!isVisible())
        return;
    for (HistoryChartView* chart : m_charts)
        chart->setHistory(&m_history, nowMs);
}

void HistoryWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    for (HistoryChartView* chart : m_charts)
        chart->setHistory(&m_history, m_nowMs);
}
