// The main window and its main view.
#include "AppDelegate.h"

#include "MainView.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"
#include "views/BadgeImage.h"
#include "views/KeyboardFocus.h"
#include "views/Palette.h"
#include "views/ScreenRoom.h"
#include "views/StatCardView.h"
#include "views/SymbolButton.h"
#include "views/Symbols.h"
#include "views/TextScale.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>

namespace {

QWidget* cardRow(QWidget* left, QWidget* right)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(pt(8));
    layout->addWidget(left);
    layout->addWidget(right);
    return row;
}

} // namespace

void AppDelegate::buildMainWindow()
{
    auto* window = new QMainWindow;
    window->setWindowTitle(QStringLiteral("VelmoraVovir"));
    window->setWindowIcon(applicationIcon());
    window->setAttribute(Qt::WA_DeleteOnClose, false); // closing only hides it
    // Hints spelled out: clearing the maximize hint alone leaves the default decorations, which
    // on Wayland (Qt's own title bar) include a maximize button for a window of fixed size.
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint);

    m_mainView = buildMainView();
    m_settingsView = buildSettingsView();
    m_settingsView->hide();
    auto* content = new QWidget;
    content->setFixedSize(pt(winSize));
    for (QWidget* view : {m_mainView, m_settingsView}) {
        view->setParent(content);
        view->setGeometry(content->rect());
    }
    // On a screen too small for the window (768 pixels at a scale of 1.5, or large text), the
    // content scrolls rather than running off the screen.
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setAlignment(Qt::AlignCenter);
    scroll->viewport()->setAutoFillBackground(false);
    scroll->setWidget(content);
    window->setCentralWidget(scroll);
    if (m_menuBar)
        window->setMenuBar(m_menuBar);
    m_mainWindow = window;
    fitMainWindow();
    if (const QScreen* screen = window->screen())
        window->move(screen->availableGeometry().center() - window->rect().center());

    window->installEventFilter(this);

    if (!menuBarMode()) {
        window->show();
        activateApplication();
    }
}

void AppDelegate::fitMainWindow()
{
    auto* scroll = static_cast<QScrollArea*>(m_mainWindow->centralWidget());
    const QSize content = scroll->widget()->size();
    const int menuBar =
        m_mainWindow->menuWidget() ? m_mainWindow->menuWidget()->sizeHint().height() : 0;
    const QSize room = roomOnScreen(m_mainWindow);
    const int bar = scroll->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    int height = std::min(content.height() + menuBar, room.height());
    // A scroll bar is added beside the content, not laid over it.
    int width = content.width() + (height < content.height() + menuBar ? bar : 0);
    if (width > room.width()) {
        width = room.width();
        height = std::min(height + bar, room.height());
    }
    m_mainWindow->setFixedSize(width, height);
}

QWidget* AppDelegate::buildMainView()
{
    auto* icon = new QLabel;
    icon->setFixedSize(pt(92), pt(92));
    icon->setPixmap(applicationIconPixmap(pt(92), qApp->devicePixelRatio()));
    QLabel* name = makeLabel(QStringLiteral("VelmoraVovir"), 24, QFont::Bold,
                             TextColor::of(LabelTone::Primary));
    QLabel* tagline =
        makeLabel(QStringLiteral("CPU, mémoire, réseau et batterie\nen un coup d'oeil, en direct."),
                  13, QFont::Normal, TextColor::of(LabelTone::Secondary));

    auto* grid = new QWidget;
    auto* gridLayout = new QVBoxLayout(grid);
    gridLayout->setContentsMargins(0, 0, 0, 0);
    gridLayout->setSpacing(pt(8));
    gridLayout->addWidget(cardRow(m_cpuCard, m_memCard), 0, Qt::AlignHCenter);
    gridLayout->addWidget(cardRow(m_netCard, m_batCard), 0, Qt::AlignHCenter);

    m_mainButton = new QPushButton(QStringLiteral("Afficher dans la barre de menus"));
    m_mainButton->setFont(systemFont(13, QFont::Medium));
    m_mainButton->setMinimumHeight(pt(32));
    m_mainButton->setCursor(Qt::PointingHandCursor);
    const auto [buttonText, buttonBackground] = mainButtonColors();
    m_mainButton->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: %4; border: none;"
                       " border-radius: %5px; padding: %6px %7px; }"
                       "QPushButton:pressed { background: %2; }"
                       // A style sheet draws no focus frame of its own: a ring says where the
                       // keyboard is.
                       "QPushButton[keyboardFocus=\"true\"] { border: 2px solid %3;"
                       " padding: %8px %9px; }")
            .arg(buttonBackground.name(), buttonBackground.darker(120).name(),
                 velmoraMauveFixed().name(), buttonText.name())
            .arg(pt(8))
            .arg(pt(6))
            .arg(pt(20))
            .arg(pt(6) - 2)
            .arg(pt(20) - 2));
    markKeyboardFocus(m_mainButton);
    connect(m_mainButton, &QPushButton::clicked, this, &AppDelegate::vovirPressed);
    m_mainStatusLabel = makeLabel(QStringLiteral("Tes chiffres peuvent vivre en haut de l'écran"),
                                  13, QFont::Normal, TextColor::of(LabelTone::Tertiary));
    m_statusStyledForPanel = false;

    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const std::pair<QWidget*, int> elements[] = {{icon, 12},         {name, 8},
                                                 {tagline, 14},      {grid, 14},
                                                 {m_mainButton, 10}, {m_mainStatusLabel, 0}};
    for (const auto& [element, spaceAfter] : elements) {
        layout->addWidget(element, 0, Qt::AlignHCenter);
        if (spaceAfter > 0)
            layout->addSpacing(pt(spaceAfter));
    }

    auto* gear = new SymbolButton(QStringLiteral("gearshape.fill"), 16, QStringLiteral("Réglages"));
    gear->setFixedSize(pt(30), pt(30));
    connect(gear, &QToolButton::clicked, this, &AppDelegate::showSettings);
    m_messagesButton =
        new SymbolButton(QStringLiteral("envelope.fill"), 15, QStringLiteral("Messages"));
    m_messagesButton->setFixedSize(pt(30), pt(30));
    connect(m_messagesButton, &QToolButton::clicked, this, &AppDelegate::showMessages);
    m_messagesBadge = new BadgeImageView;
    m_messagesBadge->hide();

    auto* view = new MainView(column, gear, m_messagesButton, m_messagesBadge);
    view->resize(pt(winSize));
    // Return presses the menu-bar button while the main view shows, unless another button has
    // the keyboard: then that one.
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), view);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, view] {
            auto* focused = qobject_cast<QAbstractButton*>(view->focusWidget());
            (focused && focused->isVisible() ? focused : m_mainButton)->click();
        });
    }
    // Left to right, top to bottom, as the view reads.
    const QList<QWidget*> order{m_cpuCard,    m_memCard,        m_netCard, m_batCard,
                                m_mainButton, m_messagesButton, gear};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    return view;
}

void AppDelegate::showMainWindow()
{
    if (m_mainWindow) {
        fitMainWindow(); // to the screen it now shows on, its title bar known after a first show
        m_mainWindow->show();
    }
    activateApplication(); // raised, and no longer minimised
    refreshMessageBadges();
}

void AppDelegate::showMain()
{
    m_settingsView->hide();
    m_mainView->show();
    if (m_mainButton)
        m_mainButton->setFocus(Qt::OtherFocusReason); // where the keyboard was left before
}

void AppDelegate::vovirPressed()
{
    VovirSettings::store().setBool(QStringLiteral("VSMenuBarMode"), !menuBarMode());
    applyDisplayMode();
    refreshVovirUI();
}
