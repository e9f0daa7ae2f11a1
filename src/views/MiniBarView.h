#pragma once

#include <QWidget>

// The thin progress bar of a card: a track, and a fill that shows any positive fraction as at
// least a dot as wide as the bar is high. A screen reader finds a progress bar with its value in
// per cent.
class MiniBarView final : public QWidget {
    Q_OBJECT
public:
    explicit MiniBarView(QWidget* parent = nullptr);

    qreal progress() const { return m_progress; }
    // Any value is stored as given (negative, NaN, above 1); drawing sorts them out.
    void setProgress(qreal progress);

    // The fill's width for a bar of the given size, 0 when only the track shows.
    static qreal fillWidth(qreal progress, const QSizeF& size);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_progress = 0;
};
