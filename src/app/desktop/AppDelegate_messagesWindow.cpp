// The messages window: the conversation newest first, and the reply field.
#include "AppDelegate.h"

#include "AlertPresenter.h"
#include "messages/MessageCenter.h"
#include "views/FlippedView.h"
#include "views/MessageText.h"
#include "views/Palette.h"
#include "views/ScreenRoom.h"
#include "views/SeparatorLine.h"
#include "views/TextScale.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QToolButton>

namespace {

constexpr QSize kWindowSize{460, 520};
constexpr int kListHeight = 416;
constexpr int kBodyWidth = 416;
} // namespace

// A message as shown: without the controls that reorder or hide text (line breaks and tabs
// stay, and so do the zero-width joiner and non-joiner: Persian words and emoji sequences such
// as 👩‍💻 need them) and cut short.
QString shownMessageText(const QString& body)
{
    QString text;
    text.reserve(qMin(body.size(), kMaxShownChars + 1));
    for (QChar c : body) {
        if (text.size() >= kMaxShownChars) {
            text += QChar(0x2026);
            break;
        }
        const bool control =
            c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
        if (!control || c == QLatin1Char('\n') || c == QLatin1Char('\t') || c == QChar(0x200C) ||
            c == QChar(0x200D))
            text += c;
    }
    return text;
}

QWidget* AppDelegate::buildMessagesList()
{
    auto* list = new FlippedView;
    list->setObjectName(QStringLiteral("messagesList"));
    const QList<ArchivedMessage> history = m_messages->messageHistory();
    int height = kListHeight;
    if (history.isEmpty()) {
        QLabel* empty = makeLabel(QStringLiteral("Aucun message pour l'instant.\nLes réponses de "
                                                 "Velmora Labs apparaîtront ici."),
                                  13, QFont::Normal, TextColor::of(LabelTone::Secondary));
        empty->setParent(list);
        empty->adjustSize();
        empty->move((list->width() - empty->width()) / 2, pt(60));
    } else {
        const QLocale french(QLocale::French, QLocale::France);
        int y = pt(20);
        for (const ArchivedMessage& message : history) {
            QString header =
                (message.mine ? QStringLiteral("Toi · ") : QStringLiteral("Velmora Labs · ")) +
                french.toString(message.date.toLocalTime(),
                                QStringLiteral("d MMMM yyyy 'à' HH'h'mm"));
            const QPair<qint64, QString> key{message.id, message.body};
            const bool failed = message.unsent && !m_repliesInFlight.contains(key);
            if (failed)
                header += QStringLiteral(" · Non envoyé");
            QLabel* headerLabel = makeLabel(header, 11, QFont::Medium,
                                            message.mine ? TextColor::of(LabelTone::Tertiary)
                                                         : TextColor::of(velmoraMauve()));
            headerLabel->setParent(list);
            headerLabel->setAlignment(Qt::AlignLeft);
            headerLabel->adjustSize();
            headerLabel->move(pt(22), y);
            if (failed) {
                auto* resend = new QToolButton(list);
                resend->setText(QStringLiteral("Renvoyer"));
                resend->setAutoRaise(true);
                resend->setFont(systemFont(11, QFont::Medium));
                resend->adjustSize();
                resend->move(headerLabel->geometry().right() + 1 + pt(8),
                             y + (headerLabel->height() - resend->height()) / 2);
                connect(resend, &QToolButton::clicked, this, [this, key] {
                    m_repliesInFlight.insert(key); // travelling: no longer marked
                    refreshMessagesList();
                    uploadReply(key.first, key.second);
                });
            }
            const int y2 = y + headerLabel->height() + pt(5);
            auto* body = new MessageText(
                shownMessageText(message.body), systemFont(13, QFont::Normal),
                TextColor::of(message.mine ? LabelTone::Secondary : LabelTone::Primary), list);
            const int bodyHeight = body->heightForWidth(pt(kBodyWidth));
            body->setGeometry(pt(22), y2, pt(kBodyWidth), bodyHeight);
            const int y3 = y2 + bodyHeight + pt(16);
            (new SeparatorLine(list))->setGeometry(pt(22), y3, pt(kBodyWidth), 1);
            y = y3 + pt(18);
        }
        height = qMax(y + pt(10), pt(kListHeight));
    }
    list->setFixedSize(pt(kWindowSize.width()), height);
    return list;
}

void AppDelegate::showMessages()
{
    if (m_messages->pendingMessage) {
        m_messages->markMessageShown();
        refreshMessageBadges();
    }
    if (!m_messagesWindow) {
        m_messagesWindow = new QWidget(nullptr, Qt::Window);
        m_messagesWindow->setObjectName(QStringLiteral("messagesWindow"));
        m_messagesWindow->setWindowTitle(QStringLiteral("Messages de Velmora Labs"));
        m_messagesWindow->setAttribute(Qt::WA_DeleteOnClose, false); // closing only hides it
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), m_messagesWindow);
        connect(escape, &QShortcut::activated, m_messagesWindow, &QWidget::close);
        // A screen reader meets a window with its title, as with any dialog.
        static const bool known =
            (QAccessible::installFactory([](const QString&, QObject* o) {
                 return o && o->objectName() == QLatin1String("messagesWindow")
                            ? static_cast<QAccessibleInterface*>(new QAccessibleWidget(
                                  static_cast<QWidget*>(o), QAccessible::Window))
                            : nullptr;
             }),
             true);
        Q_UNUSED(known);
    }
    // A new content each time, from the archive: the list always shows the stored state.
    // Deleted later: Return in the old reply field, still being handled, brought us here.
    if (auto* old = m_messagesWindow->findChild<QWidget*>(QStringLiteral("messagesContent"),
                                                          Qt::FindDirectChildrenOnly)) {
        old->hide();
        old->setObjectName(QString());
        for (QObject* child : old->findChildren<QObject*>())
            child->setObjectName(QString());
        old->deleteLater();
    }
    auto* content = new QWidget(m_messagesWindow);
    content->setObjectName(QStringLiteral("messagesContent"));
    // On a screen smaller than the window, the list gives up the difference: it scrolls.
    QSize size = pt(kWindowSize);
    const int over = std::max(0, size.height() - roomOnScreen(m_messagesWindow).height());
    const int listHeight = std::max(pt(kListHeight) - over, pt(kListHeight) / 4);
    size.rheight() -= pt(kListHeight) - listHeight;
    m_messagesWindow->setFixedSize(size);
    content->setGeometry(QRect(QPoint(0, 0), size));

    auto* scroll = new QScrollArea(content);
    scroll->setObjectName(QStringLiteral("messagesScroll"));
    scroll->setGeometry(0, 0, size.width(), listHeight);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    scroll->setWidget(buildMessagesList());
    (new SeparatorLine(content))->setGeometry(0, listHeight, size.width(), 1);

    auto* field = new QLineEdit(content);
    field->setMaxLength(int(kMaxShownChars)); // a reply as long as a message the window shows
    field->setFont(systemFont(13, QFont::Normal));
    field->setPlaceholderText(QStringLiteral("Écris ta réponse ici"));
    field->setAccessibleName(QStringLiteral("Ta réponse à Velmora Labs"));
    field->setGeometry(pt(22), size.height() - pt(52 + 40), pt(416), pt(40));
    auto* send = new QPushButton(QStringLiteral("Envoyer"), content);
    send->setFont(systemFont(13, QFont::Normal));
    send->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none;"
                                       " border-radius: 6px; padding: 4px 14px; }")
                            .arg(velmoraMauveFixed().name()));
    send->setDefault(true);
    send->adjustSize();
    send->move(pt(438) - send->width(), size.height() - pt(14) - send->height());
    QLabel* footer = makeLabel(QStringLiteral("Ta réponse arrive directement chez Velmora Labs."),
                               11, QFont::Normal, TextColor::of(LabelTone::Tertiary));
    footer->setParent(content);
    footer->setAlignment(Qt::AlignLeft);
    footer->adjustSize();
    footer->move(pt(22), size.height() - pt(20) - footer->height());
    connect(send, &QPushButton::clicked, this, &AppDelegate::sendReply);
    connect(field, &QLineEdit::returnPressed, this, &AppDelegate::sendReply);
    m_replyField = field;

    content->show();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        m_messagesWindow->move(screen->availableGeometry().center() -
                               m_messagesWindow->rect().center());
    m_messagesWindow->show();
    m_messagesWindow->raise();
    m_messagesWindow->activateWindow();
    field->setFocus();
}

void AppDelegate::sendReply()
{
    if (!m_replyField)
        return;
    const QString text = m_replyField->text().trimmed();
    if (text.isEmpty())
        return;
    m_replyField->clear();
    const qint64 id = m_messages->archiveOwn(text);
    m_repliesInFlight.insert({id, text}); // travelling: not marked "Non envoyé"
    showMessages();
    uploadReply(id, text);
}

void AppDelegate::refreshMessagesList()
{
    // Only the list is redone, so that what the user is typing meanwhile stays in the field.
    auto* scroll = m_messagesWindow
                       ? m_messagesWindow->findChild<QScrollArea*>(QStringLiteral("messagesScroll"))
                       : nullptr;
    if (!scroll)
        return;
    // Later: the old list may hold the "Renvoyer" button whose click brought us here.
    if (QWidget* old = scroll->takeWidget())
        old->deleteLater();
    scroll->setWidget(buildMessagesList());
}

void AppDelegate::uploadReply(qint64 id, const QString& text)
{
    const QPair<qint64, QString> key{id, text};
    QPointer<AppDelegate> weak(this);
    m_messages->sendReply(text, [weak, key](bool ok) {
        if (!weak)
            return;
        weak->m_repliesInFlight.remove(key);
        if (ok)
            weak->m_messages->markOwnSent(key.first, key.second);
        weak->refreshMessagesList();
        if (ok)
            return;
        weak->activateApplication();
        weak->m_alerts->run({QStringLiteral("Envoi impossible"),
                             QStringLiteral("Ta réponse n'a pas pu partir (réseau ?). Elle reste "
                                            "affichée ici, réessaie plus tard ou écris à ") +
                                 kSupportEmail + QLatin1Char('.'),
                             {}},
                            weak->m_messagesWindow);
    });
}
