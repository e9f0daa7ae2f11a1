#pragma once

#include "app/desktop/AlertPresenter.h"
#include "views/StatusItemController.h"

#include <QList>
#include <QMenu>
#include <QPointer>

// What a panel item was told, kept by the test after the item is gone.
struct PanelRecord {
    int created = 0;
    int alive = 0;
    QString text; // last text shown; empty while the gauge shows
    bool gauge = false;
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
    int run(const Alert& alert, QWidget*) override
    {
        shown << alert;
        return answers.isEmpty() ? -1 : answers.takeFirst();
    }
};
