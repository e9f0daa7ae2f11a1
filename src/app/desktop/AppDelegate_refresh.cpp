// Brings every live figure on screen up to date from the engine's latest sample.
#include "AppDelegate.h"

#include "engine/VovirEngine.h"
#include "format/VovirFormat.h"
#include "settings/VovirSettings.h"
#include "views/Palette.h"
#include "views/StatCardView.h"

#include <QLabel>
#include <QMainWindow>
#include <QPushButton>

void AppDelegate::refreshVovirUI()
{
    const std::optional<VovirSnapshot>& s = m_engine->snapshot();
    if (s)
        m_statusController.setText(VovirFormat::menuBarText(*s, VovirFormat::Width::Steady));
    // The window's figures and hint only while it is on screen: in the panel mode it stays
    // hidden all day, and it is brought up to date as it is shown (eventFilter).
    if (!m_mainWindow || !m_mainWindow->isVisible())
        return;
    if (s) {
        // Not clamped here: the bar clamps when it draws.
        m_cpuCard->update(VovirFormat::percent(s->cpuPercent), std::nullopt, s->cpuPercent / 100.0);
        m_memCard->update(VovirFormat::gigabytes(s->memUsed),
                          QStringLiteral("sur ") + VovirFormat::gigabytes(s->memTotal));
        m_netCard->update(QStringLiteral("\u2193 ") + VovirFormat::ratePerSec(s->downBps),
                          QStringLiteral("\u2191 ") + VovirFormat::ratePerSec(s->upBps));
        if (const std::optional<BatterySnapshot>& b = s->battery) {
            QString sub = QString::number(b->cycleCount) + QStringLiteral(" cycles");
            if (b->isCharging)
                sub += QStringLiteral(" \u00B7 en charge");
            m_batCard->update(QString::number(b->percent) + QStringLiteral(" %"), sub);
        } else {
            m_batCard->update(QStringLiteral("\u2026"), QStringLiteral("pas de batterie"));
        }
    }

    const bool inPanel = menuBarMode();
    if (m_mainButton)
        m_mainButton->setText(inPanel ? QStringLiteral("Retirer de la barre de menus")
                                      : QStringLiteral("Afficher dans la barre de menus"));
    if (m_mainStatusLabel) {
        m_mainStatusLabel->setText(
            noPanelShowsTheItem()
                ? QStringLiteral("Aucun panneau n'affiche l'icône : la fenêtre reste là")
            : inPanel ? QStringLiteral("Live dans la barre de menus, toutes les %1 s")
                            .arg(VovirSettings::intervalSeconds())
                      : QStringLiteral("Tes chiffres peuvent vivre en haut de l'écran"));
        // Styled again only when the mode changes: a new palette and font at every tick would
        // cost more than the rest of the window's refresh.
        if (m_statusStyledForPanel != inPanel) {
            m_statusStyledForPanel = inPanel;
            setLabelColor(m_mainStatusLabel, inPanel ? TextColor::of(vovirCyan())
                                                     : TextColor::of(LabelTone::Tertiary));
            m_mainStatusLabel->setFont(systemFont(13, inPanel ? QFont::DemiBold : QFont::Normal));
        }
    }
}
