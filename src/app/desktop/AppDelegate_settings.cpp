// The settings view and the actions of its controls; every change applies at once.
#include "AppDelegate.h"

#include "AlertPresenter.h"
#include "CardBox.h"
#include "app/update/Updater.h"
#include "engine/VovirEngine.h"
#include "platform/LoginItem.h"
#include "service/AppInfo.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "views/FlippedView.h"
#include "views/LinkButton.h"
#include "views/Palette.h"
#include "views/SeparatorLine.h"
#include "views/SymbolButton.h"
#include "views/TextScale.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <syslog.h>

namespace {

const char* const kMakerDomain = "velmoralabs.ch";

template <typename W> W* placeFitted(W* widget, QWidget* parent, QPoint origin)
{
    // Controls take the design's 13-point font, grown with the frames of this view where the
    // desktop asks for larger text.
    if (widget->font().pixelSize() <= 0)
        widget->setFont(systemFont(13, QFont::Normal));
    widget->setParent(parent);
    widget->adjustSize();
    widget->move(pt(origin));
    return widget;
}

QLabel* leftLabel(const QString& text, qreal size, QFont::Weight weight, LabelTone tone)
{
    QLabel* label = makeLabel(text, size, weight, TextColor::of(tone));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

// Fitted, at x, with its vertical centre on y.
void placeCentredOn(QWidget* widget, QWidget* parent, int x, int y)
{
    widget->setParent(parent);
    widget->adjustSize();
    widget->move(pt(x), pt(y) - widget->height() / 2);
}

} // namespace

QWidget* AppDelegate::buildSettingsView()
{
    auto* view = new FlippedView;
    view->resize(pt(winSize));

    auto* back =
        new SymbolButton(QStringLiteral("chevron.left"), 15, QStringLiteral("Retour"), view);
    back->setGeometry(pt(QRect(18, 46, 28, 28)));
    connect(back, &QToolButton::clicked, this, &AppDelegate::showMain);

    placeCentredOn(
        makeLabel(QStringLiteral("Réglages"), 20, QFont::Bold, TextColor::of(LabelTone::Primary)),
        view, 54, 60);

    // The alerts beside the title, where they move none of the settings below.
    auto* alerts =
        new LinkButton(QStringLiteral("Alertes…"), velmoraMauve(), systemFont(13, QFont::DemiBold));
    placeCentredOn(alerts, view, 0, 60);
    alerts->move(pt(406) - alerts->width(), alerts->y());
    connect(alerts, &QAbstractButton::clicked, this, &AppDelegate::showAlerts);

    auto card = [view](int x, int y, int w, int h) {
        auto* box = new CardBox(view);
        box->setGeometry(pt(QRect(x, y, w, h)));
    };

    card(24, 96, 382, 64);
    const struct {
        const char* title;
        int tag;
        QPoint origin;
        bool on;
    } metrics[] = {{"CPU", 0, {40, 104}, VovirSettings::showCPU()},
                   {"Mémoire", 1, {224, 104}, VovirSettings::showMemory()},
                   {"Réseau", 2, {40, 132}, VovirSettings::showNetwork()},
                   {"Batterie", 3, {224, 132}, VovirSettings::showBattery()}};
    for (const auto& metric : metrics) {
        auto* box =
            placeFitted(new QCheckBox(QString::fromUtf8(metric.title)), view, metric.origin);
        box->setChecked(metric.on);
        const int tag = metric.tag;
        connect(box, &QCheckBox::clicked, this, [this, box, tag] { toggleMetric(box, tag); });
    }

    card(24, 168, 382, 72);
    QLabel* intervalCaption = leftLabel(QStringLiteral("Intervalle de rafraîchissement"), 13,
                                        QFont::Normal, LabelTone::Primary);
    placeCentredOn(intervalCaption, view, 40, 191);
    auto* interval = new QComboBox(view);
    intervalCaption->setBuddy(interval); // a screen reader names the menu by its caption
    interval->setFont(systemFont(13, QFont::Normal));
    for (int seconds : {2, 3, 5})
        interval->addItem(QStringLiteral("%1 s").arg(seconds), seconds);
    interval->setCurrentIndex(interval->findData(int(VovirSettings::intervalSeconds())));
    interval->setGeometry(pt(QRect(310, 178, 80, 26)));
    interval->setAccessibleName(QStringLiteral("Intervalle de rafraîchissement"));
    connect(interval, &QComboBox::activated, this, [this, interval] { intervalChanged(interval); });

    QLabel* formatCaption = leftLabel(QStringLiteral("Format dans la barre de menus"), 13,
                                      QFont::Normal, LabelTone::Primary);
    placeCentredOn(formatCaption, view, 40, 221);
    auto* format = new QComboBox(view);
    formatCaption->setBuddy(format);
    format->setFont(systemFont(13, QFont::Normal));
    format->addItem(QStringLiteral("Compact"), 0);
    format->addItem(QStringLiteral("Complet"), 1);
    format->setCurrentIndex(VovirSettings::compactFormat() ? 0 : 1);
    format->setGeometry(pt(QRect(280, 208, 110, 26)));
    format->setAccessibleName(QStringLiteral("Format dans la barre de menus"));
    connect(format, &QComboBox::activated, this, [this, format] { formatChanged(format); });

    card(24, 248, 382, 88);
    auto* updates =
        placeFitted(new QCheckBox(QStringLiteral("Installer les mises à jour automatiquement")),
                    view, {40, 258});
    updates->setChecked(m_updater->automaticallyChecksForUpdates() &&
                        m_updater->automaticallyDownloadsUpdates());
    connect(updates, &QCheckBox::clicked, this, [this, updates] { toggleAutoUpdates(updates); });
    m_menuBarCheckbox =
        placeFitted(new QCheckBox(QStringLiteral("Icône dans la barre de menus (au lieu du Dock)")),
                    view, {40, 284});
    m_menuBarCheckbox->setChecked(menuBarMode());
    connect(m_menuBarCheckbox, &QCheckBox::clicked, this,
            [this] { toggleMenuBarMode(m_menuBarCheckbox); });
    m_loginCheckbox =
        placeFitted(new QCheckBox(QStringLiteral("Ouvrir à la connexion")), view, {40, 310});
    m_loginCheckbox->setChecked(m_loginItem->isEnabled());
    connect(m_loginCheckbox, &QCheckBox::clicked, this,
            [this] { toggleLoginItem(m_loginCheckbox); });

    auto* check = placeFitted(new QPushButton(QStringLiteral("Rechercher des mises à jour…")), view,
                              {24, 348});
    connect(check, &QPushButton::clicked, this, &AppDelegate::checkForUpdates);
    auto* report =
        placeFitted(new QPushButton(QStringLiteral("Signaler un problème…")), view, {24, 348});
    report->move(check->geometry().right() + 1 + pt(10), report->y());
    connect(report, &QPushButton::clicked, this, &AppDelegate::reportProblemPressed);

    (new SeparatorLine(view))->setGeometry(pt(24), pt(388), pt(382), 1);

    placeFitted(leftLabel(QStringLiteral("VelmoraVovir v") + AppInfo::version(), 12,
                          QFont::DemiBold, LabelTone::Primary),
                view, {24, 432});
    placeFitted(leftLabel(QStringLiteral("Développé par Velmora Labs,\nstudio suisse "
                                         "d'applications Mac."),
                          11, QFont::Normal, LabelTone::Secondary),
                view, {24, 448});
    auto* link = new LinkButton(QString::fromLatin1(kMakerDomain), velmoraMauve(),
                                systemFont(12, QFont::DemiBold));
    placeFitted(link, view, {24, 476});
    connect(link, &QPushButton::clicked, this, &AppDelegate::openVelmoraLabs);
    return view;
}

void AppDelegate::showSettings()
{
    m_mainView->hide();
    m_settingsView->show();
    // The keyboard goes with the view shown, never left on a hidden button: to its first control.
    for (QWidget* w = m_settingsView->nextInFocusChain(); w != m_settingsView;
         w = w->nextInFocusChain())
        if (m_settingsView->isAncestorOf(w) && w->isVisibleTo(m_settingsView) &&
            (w->focusPolicy() & Qt::TabFocus)) {
            w->setFocus(Qt::TabFocusReason);
            break;
        }
    // Re-read each time: the user may have changed the autostart entry elsewhere.
    if (m_loginCheckbox)
        m_loginCheckbox->setChecked(m_loginItem->isEnabled());
}

void AppDelegate::toggleMetric(QCheckBox* sender, int tag)
{
    const bool on = sender->isChecked();
    switch (tag) {
    case 0:
        VovirSettings::setShowCPU(on);
        break;
    case 1:
        VovirSettings::setShowMemory(on);
        break;
    case 2:
        VovirSettings::setShowNetwork(on);
        break;
    default:
        VovirSettings::setShowBattery(on);
        break;
    }
    refreshVovirUI();
}

void AppDelegate::intervalChanged(QComboBox* sender)
{
    VovirSettings::setIntervalSeconds(sender->currentData().toInt());
    m_history.setInterval(VovirSettings::intervalSeconds());
    m_engine->start();
    refreshVovirUI();
}

void AppDelegate::formatChanged(QComboBox* sender)
{
    VovirSettings::setCompactFormat(sender->currentData().toInt() == 0);
    refreshVovirUI();
}

void AppDelegate::toggleAutoUpdates(QCheckBox* sender)
{
    const bool on = sender->isChecked();
    m_updater->setAutomaticallyChecksForUpdates(on);
    m_updater->setAutomaticallyDownloadsUpdates(on);
}

void AppDelegate::toggleLoginItem(QCheckBox* sender)
{
    QString error;
    if (m_loginItem->setEnabled(sender->isChecked(), &error))
        return;
    const QByteArray line =
        QStringLiteral("VelmoraVovir: ouverture à la connexion: %1").arg(error).toUtf8();
    syslog(LOG_WARNING, "%s", line.constData());
    sender->setChecked(m_loginItem->isEnabled());
}

void AppDelegate::checkForUpdates()
{
    // One alert at a time: while the answer to an earlier check is on screen, bring it forward.
    if (m_updateAlertShowing) {
        activateApplication();
        return;
    }
    m_updater->checkForUpdates(true);
}
