// Brings every live figure on screen up to date from the engine's latest sample.
#include "AppDelegate.h"

#include "engine/VovirEngine.h"
#include "format/VovirFormat.h"
#include "settings/VovirSettings.h"
#include "views/Palette.h"
#include "views/StatCardView.h"

#include <QLabel>
#include <QPushButton>

void AppDelegate::refreshVovirUI()
{
    if (const std::optional<VovirSnapshot>& s = m_engine->snapshot()) {
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
        m_statusController.setText(VovirFormat::menuBarText(*s));
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
        setLabelColor(m_mainStatusLabel,
                      inPanel ? TextColor::of(vovirCyan()) : TextColor::of(LabelTone::Tertiary));
        m_mainStatusLabel->setFont(systemFont(13, inPanel ? QFont::DemiBold : QFont::Normal));
    }
}
