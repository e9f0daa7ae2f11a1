#pragma once

#include "Palette.h"

#include <QAbstractButton>

// A web link drawn as text in an accent colour that follows the light or dark appearance:
// resolved each time it is painted, from the colours around it.
class LinkButton final : public QAbstractButton {
    Q_OBJECT
public:
    LinkButton(const QString& text, const DynamicColor& color, const QFont& font,
               QWidget* parent = nullptr);
    QColor textColor() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    DynamicColor m_color;
};
