// Task bar or panel: the display mode, its switch and the first-launch choice.
#include "AppDelegate.h"

#include "crash/CrashReporter.h"

#include "views/Symbols.h"

#include "AlertPresenter.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QCheckBox>
#include <QMainWindow>
#include <QTimer>

void AppDelegate::applyDisplayMode()
{
    // On Linux the two activation policies differ only in what closing the window does
    // (eventFilter) and in the window shown at launch; neither needs setting here.
    CrashReporter::setRunContext(CrashReporter::runContext(
        menuBarMode() ? QStringLiteral("panel") : QStringLiteral("window")));
    if (menuBarMode()) {
        m_statusController.enable(statusMenu()); // the window, if open, stays open
        // As at launch: a panel that does not show the item within the grace time is said.
        watchForThePanel();
    } else {
        m_statusController.disable();
        // On a later turn of the loop, once the caller has finished its own changes.
        QTimer::singleShot(0, this, [this] {
            activateApplication();
            showMainWindow();
        });
    }
    if (m_menuBarCheckbox)
        m_menuBarCheckbox->setChecked(menuBarMode());
}

void AppDelegate::toggleMenuBarMode(QCheckBox* sender)
{
    VovirSettings::store().setBool(QStringLiteral("VSMenuBarMode"), sender && sender->isChecked());
    applyDisplayMode();
    refreshVovirUI();
}

void AppDelegate::showOnboardingIfNeeded()
{
    UserDefaults& store = VovirSettings::store();
    if (store.boolValue(QStringLiteral("VSOnboarded")))
        return;
    // Before the alert: one that never got its answer is not asked again.
    store.setBool(QStringLiteral("VSOnboarded"), true);
    const Alert alert{
        withDrawableEmoji(QStringLiteral("Bienvenue dans VelmoraVovir 📊")),
        QStringLiteral(
            "Où veux-tu que l'app vive ?\n\nDans le Dock : une app classique avec sa fenêtre.\n"
            "Dans la barre de menus : tes chiffres en direct en haut de l'écran, là où l'app "
            "est le plus utile.\n\nTu pourras changer d'avis à tout moment dans la fenêtre de "
            "l'app."),
        {QStringLiteral("Dans la barre de menus"), QStringLiteral("Dans le Dock")}};
    activateApplication();
    const int answer = m_alerts->run(alert, m_mainWindow);
    store.setBool(QStringLiteral("VSMenuBarMode"), answer != 1);
    if (m_menuBarCheckbox)
        m_menuBarCheckbox->setChecked(menuBarMode());
    applyDisplayMode();
}
