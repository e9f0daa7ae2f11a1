#pragma once

#include "app/desktop/AlertPresenter.h"
#include "platform/TaskBarBadge.h"
#include "views/StatusItemController.h"

#include <QList>
#include <QMenu>
#include <QPointer>

#include <functional>

// What a panel item was told, kept by the test after the item is gone.
struct PanelRecord {
    int created = 0;
    int alive = 0;
    QString text; // last text shown; empty while the gauge shows
    bool gauge = false;
    bool shownByPanel = true;
    QPointer<QMenu> menu;
};

// A panel item that records what the controller asks of it.
class RecordingStatusItem final : public StatusItemBackend {
public:
    explicit RecordingStatusItem(PanelRecord& record) : m_record(record)
    {
        ++m_record.created;
        ++m_record.alive;
        m_record.text.clear();
        m_record.gauge = false;
    }
    ~RecordingStatusItem() override { --m_record.alive; }
    void setMenu(QMenu* menu) override { m_record.menu = menu; }
    void showText(const QString& text, const QString&) override
    {
        m_record.text = text;
        m_record.gauge = false;
    }
    void showGauge() override
    {
        m_record.text.clear();
        m_record.gauge = true;
    }
    bool isShownByPanel() const override { return m_record.shownByPanel; }

private:
    PanelRecord& m_record;
};

inline StatusItemFactory recordingFactory(PanelRecord& record)
{
    return [&record] { return std::make_unique<RecordingStatusItem>(record); };
}

// Answers alerts from a script, in order, and keeps what was asked.
class ScriptedAlerts final : public AlertPresenter {
public:
    QList<int> answers;
    QList<Alert> shown;
    // The report dialog: each answer is what the user leaves in it before "Envoyer", or
    // nothing for "Annuler"; drafts keeps what the dialog was opened with.
    QList<std::optional<ReportForm>> reports;
    QList<ReportForm> drafts;
    std::function<void()> whileShown; // what the user does while an alert is on screen
    int run(const Alert& alert, QWidget*) override
    {
        shown << alert;
        if (whileShown)
            std::exchange(whileShown, nullptr)();
        return answers.isEmpty() ? -1 : answers.takeFirst();
    }
    std::optional<ReportForm> askReport(const ReportForm& draft, QWidget*) override
    {
        drafts << draft;
        return reports.isEmpty() ? std::nullopt : reports.takeFirst();
    }
};

// The task-bar count, as last set.
class RecordingBadge final : public TaskBarBadge {
public:
    int count = -1; // never set
    void setCount(int c) override { count = c; }
};
