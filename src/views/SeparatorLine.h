#pragma once

#include <QWidget>

// A one-pixel line in the label colour at a low alpha, resolved when painted, so that it follows
// a switch between light and dark instead of keeping the colour it was built with.
class SeparatorLine final : public QWidget {
    Q_OBJECT
public:
    explicit SeparatorLine(QWidget* parent = nullptr, qreal alpha = 0.15);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_alpha;
};
