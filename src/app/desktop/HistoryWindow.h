#pragma once

#include "history/VovirHistory.h"

#include <QWidget>

#include <array>

class HistoryChartView;
class QScrollArea;

// "Historique — VelmoraVovir": the last hour of each figure, one chart under the other. Its size
// is the user's; the charts are drawn only while it is on screen.
class HistoryWindow final : public QWidget {
    Q_OBJECT
public:
    explicit HistoryWindow(const VovirHistory& history, QWidget* parent = nullptr);

    // Brings a figure's chart into view with the keyboard on it.
    void showSeries(VovirHistory::Series series);
    // New samples: drawn only when the window is on screen.
    void refresh(int64_t nowMs);
    HistoryChartView* chart(VovirHistory::Series series) const { return m_charts[series]; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    const VovirHistory& m_history;
    int64_t m_nowMs = 0;
    QScrollArea* m_scroll = nullptr;
    std::array<HistoryChartView*, VovirHistory::SeriesCount> m_charts{};
};
