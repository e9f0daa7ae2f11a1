// The main window's menu bar and the panel item's status menu.
#include "AppDelegate.h"

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
    if (!m_statusMenu) {
        m_statusMenu = new QMenu;
        connect(m_statusMenu, &QMenu::aboutToShow, this, [this] { menuWillOpen(m_statusMenu); });
    }
    return m_statusMenu;
}

void AppDelegate::menuWillOpen(QMenu* menu)
{
    if (!menu || menu != m_statusMenu)
        return;
    menu->clear();
    auto info = [menu](const QString& text) { menu->addAction(text)->setEnabled(false); };
    if (const std::optional<VovirSnapshot>& s = m_engine->snapshot()) {
        info(QStringLiteral("CPU : ") + VovirFormat::percent(s->cpuPercent));
        info(QStringLiteral("Mémoire : ") + VovirFormat::gigabytes(s->memUsed) +
             QStringLiteral(" sur ") + VovirFormat::gigabytes(s->memTotal));
        info(QStringLiteral("Réseau : \u2193 ") + VovirFormat::ratePerSec(s->downBps) +
             QStringLiteral(" \u00B7 \u2191 ") + VovirFormat::ratePerSec(s->upBps));
        if (const std::optional<BatterySnapshot>& b = s->battery) {
            QString line = QStringLiteral("Batterie : %1 % \u00B7 %2 cycles")
                               .arg(b->percent)
                               .arg(b->cycleCount);
            if (b->isCharging)
                line += QStringLiteral(" \u00B7 en charge");
            info(line);
        }
        menu->addSeparator();
    }
    if (m_messages->pendingMessage) {
        QAction* messages = menu->addAction(QStringLiteral("Message de Velmora Labs"));
        messages->setIcon(QIcon(quotaBadgeImage(1, 13, qApp->devicePixelRatio())));
        connect(messages, &QAction::triggered, this, &AppDelegate::showMessages);
    }
    connect(menu->addAction(QStringLiteral("Ouvrir VelmoraVovir…")), &QAction::triggered, this,
            &AppDelegate::showMainWindow);
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("Rechercher des mises à jour…")), &QAction::triggered,
            this, &AppDelegate::checkForUpdates);
    connect(menu->addAction(QStringLiteral("Signaler un problème…")), &QAction::triggered, this,
            &AppDelegate::reportProblemPressed);
    menu->addSeparator();
    QAction* quitAction = menu->addAction(QStringLiteral("Quitter VelmoraVovir"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitAction, &QAction::triggered, this, &AppDelegate::quit);
}
