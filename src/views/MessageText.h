#pragma once

#include "Palette.h"

#include <QTextEdit>

// A message's text in the messages window: plain, read-only, selectable with the mouse and the
// keyboard, wrapped at word boundaries, or anywhere in a word longer than the line (an
// address), so that nothing is cut; in a label's colour, following the appearance.
class MessageText final : public QTextEdit {
    Q_OBJECT
public:
    MessageText(const QString& text, const QFont& font, const TextColor& color,
                QWidget* parent = nullptr);
    // The height the whole text takes at this width.
    int heightForWidth(int width) const override;

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void applyColor();
    TextColor m_color;
    bool m_applying = false;
};
