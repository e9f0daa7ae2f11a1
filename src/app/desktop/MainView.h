#pragma once

#include <QWidget>

// The main view's root: places the centred column and the corner controls by the fixed
// geometry of the window, whatever the fonts make the column's height.
class MainView final : public QWidget {
    Q_OBJECT
public:
    MainView(QWidget* column, QWidget* gear, QWidget* envelope, QWidget* badge,
             QWidget* parent = nullptr);

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void place();
    QWidget* m_column;
    QWidget* m_gear;
    QWidget* m_envelope;
    QWidget* m_badge;
};
