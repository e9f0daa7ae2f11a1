#pragma once

#include <QWidget>

// A plain container measured from its top-left corner. Qt widgets already are, so this only
// names the role the settings view and the messages window give it.
class FlippedView final : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
};
