#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

// One modal alert: a message, its explanation and its buttons, the first being the default.
struct Alert {
    QString message;
    QString informative;
    QStringList buttons;
};

// What the problem-report dialog holds: the description and the e-mail address, as typed.
struct ReportForm {
    QString text;
    QString email;
};

// Shows alerts. The application has exactly one, which tests replace so no test blocks on a
// modal dialog.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // The index of the button the user pressed (0 for the first); -1 when dismissed.
    virtual int run(const Alert& alert, QWidget* parent) = 0;
    // The problem-report dialog, opened on a draft; the form when "Envoyer" is pressed.
    virtual std::optional<ReportForm> askReport(const ReportForm& draft, QWidget* parent) = 0;
};

// The real presenter: a QMessageBox.
class MessageBoxPresenter final : public AlertPresenter {
public:
    int run(const Alert& alert, QWidget* parent) override;
    std::optional<ReportForm> askReport(const ReportForm& draft, QWidget* parent) override;
};
