// The last hour of the figures and the alerts that watch them.
#include "AppDelegate.h"

#include "AlertsDialog.h"
#include "HistoryWindow.h"
#include "app/alerts/AlertCenter.h"
#include "engine/VovirEngine.h"

HistoryWindow* AppDelegate::historyWindow() const
{
    return m_historyWindow;
}

AlertsDialog* AppDelegate::alertsDialog() const
{
    return m_alertsDialog;
}

void AppDelegate::recordSample(const VovirSnapshot& snapshot)
{
    const int64_t atNs = m_engine->sampledAtNs();
    m_history.record(atNs / 1'000'000, snapshot);
    m_alertCenter->observe(atNs, snapshot);
    if (m_historyWindow)
        m_historyWindow->refresh(atNs / 1'000'000);
}

void AppDelegate::showHistory(int series)
{
    if (!m_historyWindow) {
        // Made when asked and let go when closed: nothing of it stays while nobody looks.
        m_historyWindow = new HistoryWindow(m_history);
        m_historyWindow->setAttribute(Qt::WA_DeleteOnClose);
        if (m_history.size() > 0)
            m_historyWindow->refresh(m_history.at(m_history.size() - 1).atMs);
    }
    m_historyWindow->showNormal();
    m_historyWindow->raise();
    m_historyWindow->activateWindow();
    m_historyWindow->showSeries(VovirHistory::Series(
        std::clamp(series, int(VovirHistory::Cpu), int(VovirHistory::SeriesCount) - 1)));
}

void AppDelegate::showAlerts()
{
    if (!m_alertsDialog) {
        m_alertsDialog = new AlertsDialog(*m_alertCenter);
        m_alertsDialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_alertsDialog, &AlertsDialog::saved, this, [this] { m_alertCenter->reload(); });
    }
    m_alertsDialog->showNormal();
    m_alertsDialog->raise();
    m_alertsDialog->activateWindow();
}
