#pragma once

#include <QToolButton>

// A borderless button showing one of the project's symbols in the secondary label colour,
// recoloured whenever the appearance changes. Its description is the tooltip and the
// accessible name; a symbol without an icon leaves the button blank but usable.
class SymbolButton final : public QToolButton {
    Q_OBJECT
public:
    SymbolButton(const QString& symbol, qreal pointSize, const QString& description,
                 QWidget* parent = nullptr);

    // Tinted with the palette's accent (highlight) colour instead of the secondary label colour.
    void setAccented(bool accented);
    bool isAccented() const { return m_accented; }
    QColor tintColor() const;

protected:
    bool event(QEvent* event) override;

private:
    void tint();
    QString m_symbol;
    qreal m_pointSize;
    bool m_accented = false;
};
