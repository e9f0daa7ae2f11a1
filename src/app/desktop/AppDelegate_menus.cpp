// The main window's menu bar and the panel item's status menu.
#include "AppDelegate.h"

#include "DetailsMenu.h"
#include "engine/VovirEngine.h"
#include "format/VovirFormat.h"
#include "messages/MessageCenter.h"
#include "views/BadgeImage.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace {

// Sends an editing command to whatever text field has the focus, as a first responder would.
void sendToFocusedField(const char* command)
{
    if (QWidget* focus = QApplication::focusWidget())
        QMetaObject::invokeMethod(focus, command);
}

} // namespace

void AppDelegate::buildMenu()
{
    auto* bar = new QMenuBar;
    QMenu* app = bar->addMenu(QStringLiteral("VelmoraVovir"));
    m_appMessagesItem = app->addAction(QStringLiteral("Message de Velmora Labs"));
    m_appMessagesItem->setVisible(false); // shown while the maker has an unread message
    connect(m_appMessagesItem, &QAction::triggered, this, &AppDelegate::showMessages);
    app->addSeparator();
    connect(app->addAction(QStringLiteral("Historique…")), &QAction::triggered, this,
            [this] { showHistory(); });
    connect(app->addAction(QStringLiteral("Alertes…")), &QAction::triggered, this,
            &AppDelegate::showAlerts);
    app->addSeparator();
    connect(app->addAction(QStringLiteral("Rechercher des mises à jour…")), &QAction::triggered,
            this, &AppDelegate::checkForUpdates);
    connect(app->addAction(QStringLiteral("Signaler un problème…")), &QAction::triggered, this,
            &AppDelegate::reportProblemPressed);
    app->addSeparator();
    QAction* quitAction = app->addAction(QStringLiteral("Quitter VelmoraVovir"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction->setShortcutContext(Qt::ApplicationShortcut);
    connect(quitAction, &QAction::triggered, this, &AppDelegate::quit);

    QMenu* edit = bar->addMenu(QStringLiteral("Édition"));
    const struct {
        const char* title;
        QKeySequence keys;
        const char* command;
    } editItems[] = {
        {"Annuler", QKeySequence(Qt::CTRL | Qt::Key_Z), "undo"},
        {"Rétablir", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), "redo"},
        {nullptr, {}, nullptr},
        {"Couper", QKeySequence(Qt::CTRL | Qt::Key_X), "cut"},
        {"Copier", QKeySequence(Qt::CTRL | Qt::Key_C), "copy"},
        {"Coller", QKeySequence(Qt::CTRL | Qt::Key_V), "paste"},
        {"Tout sélectionner", QKeySequence(Qt::CTRL | Qt::Key_A), "selectAll"},
    };
    for (const auto& item : editItems) {
        if (!item.title) {
            edit->addSeparator();
            continue;
        }
        QAction* action = edit->addAction(QString::fromUtf8(item.title));
        action->setShortcut(item.keys);
        const char* command = item.command;
        connect(action, &QAction::triggered, this, [command] { sendToFocusedField(command); });
    }
    m_menuBar = bar;
}

QMenu* AppDelegate::statusMenu()
{
    if (m_statusMenu)
        return m_statusMenu;
    QMenu* menu = m_statusMenu = new QMenu;
    auto info = [menu] {
        QAction* line = menu->addAction(QString());
        line->setEnabled(false);
        line->setVisible(false); // until there is a sample
        return line;
    };
    m_statusEntries.cpu = info();
    m_statusEntries.memory = info();
    m_statusEntries.network = info();
    m_statusEntries.battery = info();
    m_statusEntries.figuresEnd = menu->addSeparator();
    m_statusEntries.figuresEnd->setVisible(false);
    m_statusEntries.messages = menu->addAction(QStringLiteral("Message de Velmora Labs"));
    m_statusEntries.messages->setIcon(QIcon(quotaBadgeImage(1, 13, qApp->devicePixelRatio())));
    m_statusEntries.messages->setVisible(false);
    connect(m_statusEntries.messages, &QAction::triggered, this, &AppDelegate::showMessages);
    connect(menu->addAction(QStringLiteral("Ouvrir VelmoraVovir…")), &QAction::triggered, this,
            &AppDelegate::showMainWindow);
    menu->addSeparator();
    // The details after "Ouvrir VelmoraVovir…", which stays the first entry to choose (Plasma
    // users reach it with Down and Return).
    m_detailsMenu = std::make_unique<DetailsMenu>(menu);
    m_statusEntries.detailsEnd = menu->addSeparator();
    m_statusEntries.detailsEnd->setVisible(false);
    connect(menu->addAction(QStringLiteral("Historique…")), &QAction::triggered, this,
            [this] { showHistory(); });
    connect(menu->addAction(QStringLiteral("Rechercher des mises à jour…")), &QAction::triggered,
            this, &AppDelegate::checkForUpdates);
    connect(menu->addAction(QStringLiteral("Signaler un problème…")), &QAction::triggered, this,
            &AppDelegate::reportProblemPressed);
    menu->addSeparator();
    QAction* quitAction = menu->addAction(QStringLiteral("Quitter VelmoraVovir"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitAction, &QAction::triggered, this, &AppDelegate::quit);
    connect(menu, &QMenu::aboutToShow, this, [this] { menuWillOpen(m_statusMenu); });
    return menu;
}

void AppDelegate::menuWillOpen(QMenu* menu)
{
    if (!menu || menu != m_statusMenu)
        return;
    // The figures of the latest sample, fixed while the menu is open.
    const std::optional<VovirSnapshot>& s = m_engine->snapshot();
    const BatterySnapshot* b = s && s->battery ? &*s->battery : nullptr;
    auto show = [](QAction* line, bool shown, const QString& text = QString()) {
        if (shown && !text.isNull())
            line->setText(text);
        line->setVisible(shown);
    };
    show(m_statusEntries.cpu, s.has_value(),
         s ? QStringLiteral("CPU : ") + VovirFormat::percent(s->cpuPercent) : QString());
    show(m_statusEntries.memory, s.has_value(),
         s ? QStringLiteral("Mémoire : ") + VovirFormat::gigabytes(s->memUsed) +
                 QStringLiteral(" sur ") + VovirFormat::gigabytes(s->memTotal)
           : QString());
    show(m_statusEntries.network, s.has_value(),
         s ? QStringLiteral("Réseau : \u2193 ") + VovirFormat::ratePerSec(s->downBps) +
                 QStringLiteral(" \u00B7 \u2191 ") + VovirFormat::ratePerSec(s->upBps)
           : QString());
    QString battery;
    if (b) {
        battery =
            QStringLiteral("Batterie : %1 % \u00B7 %2 cycles").arg(b->percent).arg(b->cycleCount);
        if (b->isCharging)
            battery += QStringLiteral(" \u00B7 en charge");
    }
    show(m_statusEntries.battery, b != nullptr, battery);
    show(m_statusEntries.figuresEnd, s.has_value());
    // The details are read as the menu opens, never while it is closed; the top programs with
    // them, since the menu shows them.
    if (s) {
        m_detailsMenu->fill(m_engine->readDetailsNow(true));
        show(m_statusEntries.detailsEnd, true);
    }
    show(m_statusEntries.messages, m_messages->pendingMessage.has_value());
}

QStringList AppDelegate::toolTipLines()
{
    if (!m_engine->snapshot())
        return {};
    if (!m_toolTipLinesAge.isValid() || m_toolTipLinesAge.hasExpired(10'000)) {
        m_toolTipLinesAge.start();
        m_toolTipLines = DetailsMenu::toolTipLines(m_engine->readDetailsNow(false));
    }
    return m_toolTipLines;
}
