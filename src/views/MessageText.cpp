#include "MessageText.h"

#include <QEvent>
#include <QPainter>
#include <QTextDocument>

#include <cmath>

MessageText::MessageText(const QString& text, const QFont& font, const TextColor& color,
                         QWidget* parent)
    : QTextEdit(parent), m_color(color)
{
    setFont(font);
    setPlainText(text);
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::StrongFocus); // Tab reaches each message, for a screen reader to read
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(0);
    viewport()->setAutoFillBackground(false); // the window's own background shows through
    applyColor();
}

int MessageText::heightForWidth(int width) const
{
    // Laid out apart: the widget's own document follows its viewport, whatever size that has
    // before the window is shown.
    QTextDocument doc;
    doc.setDefaultFont(font());
    doc.setDocumentMargin(0);
    QTextOption wrap = document()->defaultTextOption();
    wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    doc.setDefaultTextOption(wrap);
    doc.setPlainText(toPlainText());
    doc.setTextWidth(width);
    return int(std::ceil(doc.size().height()));
}

void MessageText::paintEvent(QPaintEvent* event)
{
    QTextEdit::paintEvent(event);
    if (!hasFocus())
        return;
    // Where the keyboard is: a thin frame in the highlight colour.
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Highlight));
    painter.drawRect(viewport()->rect().adjusted(0, 0, -1, -1));
}

void MessageText::changeEvent(QEvent* event)
{
    QTextEdit::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange)
        applyColor();
}

void MessageText::applyColor()
{
    if (m_applying)
        return; // our own setPalette below sends a PaletteChange too
    m_applying = true;
    applyTextColor(this, m_color, QPalette::Text);
    QPalette own = palette();
    own.setColor(QPalette::Base, Qt::transparent);
    setPalette(own);
    m_applying = false;
}
