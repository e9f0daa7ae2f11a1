#pragma once

#include "history/VovirHistory.h"

#include <QColor>
#include <QWidget>

#include <functional>

// One figure of the history as a line over the last hour (or the time since it began), drawn with the painter (a few
// hundred points need no chart library). The pointer or the Left and Right keys pick a point,
// whose value and time show above the line.
class HistoryChartView final : public QWidget {
    Q_OBJECT
public:
    using Formatter = std::function<QString(double)>;
    // ceiling: the top of the scale; 0 grows it with the values (rates).
    HistoryChartView(const QString& title, VovirHistory::Series series, QColor colour,
                     Formatter format, double ceiling, QWidget* parent = nullptr);

    void setHistory(const VovirHistory* history, int64_t nowMs);
    VovirHistory::Series series() const { return m_series; }
    // The point picked, as "45 % · il y a 3 min"; empty when none is.
    QString pickedText() const;
    // Picks the point nearest to x (a position in the widget), as the pointer does.
    void pickAt(int x);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QRectF plotArea() const;
    double top() const;
    double xOf(int64_t atMs) const;
    float valueAt(size_t index) const;
    void updateAccessibleName();

    QString m_title;
    VovirHistory::Series m_series;
    QColor m_colour;
    Formatter m_format;
    double m_ceiling;
    const VovirHistory* m_history = nullptr;
    int64_t m_nowMs = 0;
    int64_t m_spanMs = 300'000; // the time the chart's width stands for
    int64_t m_pickedAtMs = -1; // the picked point's time, kept while new points arrive
};
