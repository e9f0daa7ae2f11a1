#pragma once

#include <QWidget>

#include <optional>

class QLabel;
class MiniBarView;

// A fixed-size card of the main window: a title, a large value and either a progress bar or a
// small secondary line. For a screen reader and the keyboard it is one object, reached by Tab,
// named as a sighted user reads it ("CPU : 23 %"), its second line as description.
class StatCardView final : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize cardSize{186, 62};

    StatCardView(const QString& title, bool showsBar, QWidget* parent = nullptr);

    // Sets the value; the secondary text and the bar fraction only when given and when the
    // card has that element.
    using QWidget::update;
    void update(const QString& value, const std::optional<QString>& sub = std::nullopt,
                const std::optional<double>& progress = std::nullopt);

    QLabel* titleLabel() const { return m_titleLabel; }
    QLabel* valueLabel() const { return m_valueLabel; }
    QLabel* subLabel() const { return m_subLabel; }
    MiniBarView* bar() const { return m_bar; }

    QSize sizeHint() const override { return size(); }

signals:
    // A click, or Return or Space while it has the keyboard: its figure's history opens.
    void activated();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString m_title;
    QLabel* m_titleLabel = nullptr;
    QLabel* m_valueLabel = nullptr;
    QLabel* m_subLabel = nullptr;
    MiniBarView* m_bar = nullptr;
};
