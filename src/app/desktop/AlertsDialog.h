#pragma once

#include "alerts/AlertRules.h"

#include <QDialog>

#include <array>

class AlertCenter;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// "Alertes…": one line per figure (on or off, its level, for how long). Saving refuses, in
// French, what the alerts could not watch; stored entries it does not show are kept as they are.
class AlertsDialog final : public QDialog {
    Q_OBJECT
public:
    explicit AlertsDialog(AlertCenter& alerts, QWidget* parent = nullptr);

    struct Line {
        QCheckBox* enabled = nullptr;
        QLineEdit* level = nullptr;
        QLineEdit* seconds = nullptr;
    };
    const Line& line(AlertRules::Metric metric) const { return m_lines[int(metric)]; }
    QLabel* problemLabel() const { return m_problem; }
    QLabel* serviceLabel() const { return m_service; }
    QPushButton* tryButton() const { return m_try; }

    // Saves when every line can be watched, else says why; true when saved.
    bool save();

signals:
    void saved();

private:
    // The rule a line holds, or why its fields cannot make one.
    std::optional<AlertRules::Rule> ruleOf(AlertRules::Metric metric, QString& problem) const;

    AlertCenter& m_alerts;
    QList<AlertRules::Entry> m_entries;     // as stored
    std::array<int, 4> m_edited{};          // the entry each line edits, or -1 for a new one
    std::array<AlertRules::Rule, 4> m_base; // its direction and anything the line does not show
    std::array<Line, 4> m_lines;
    QLabel* m_problem = nullptr;
    QLabel* m_service = nullptr;
    QPushButton* m_try = nullptr;
};
