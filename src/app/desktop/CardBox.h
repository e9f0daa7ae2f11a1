#pragma once

#include <QWidget>

// A rounded box framing a group of settings; drawn under the controls it frames.
class CardBox final : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};
