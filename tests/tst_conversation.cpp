// The conversation with the maker as the user meets it: indicators, pop-up, report dialog and
// messages window, drawn offscreen, against a real HTTP server on loopback.
#include "support/DelegateRig.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestKit.h"

#include "service/SharedNetwork.h"
#include "views/BadgeImage.h"
#include "views/MessageText.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QToolButton>

namespace {

using R = LoopbackHttpServer::Response;

const QByteArray kOffer = "{\"mid\": 7, \"msg\": \"Bonjour, c'est réparé.\"}";

// The delegate over a rig, talking to a loopback service.
struct Conversation {
    LoopbackHttpServer service;
    DelegateRig rig;
    explicit Conversation(bool windowVisible = false)
        : rig(windowVisible ? QByteArray(j("{'VSOnboarded': true}"))
                            : QByteArray(j("{'VSOnboarded': true, 'VSMenuBarMode': true}")))
    {
        qputenv("VELMORA_SERVICE_URL", service.baseUrl());
        rig.messages.setDeadlines(1500, 1500);
        rig.delegate->buildMenu();
        rig.delegate->buildMainWindow();
    }
    ~Conversation() { qputenv("VELMORA_SERVICE_URL", "http://127.0.0.1:9"); }
    AppDelegate& delegate() { return *rig.delegate; }
    // One sync through the delegate, to the end of its main-thread steps.
    void sync()
    {
        QSignalSpy finished(&rig.messages, &MessageCenter::syncFinished);
        delegate().syncWithServer();
        QVERIFY(finished.wait(5000));
    }
    bool indicatorsOn()
    {
        const bool on = rig.taskBar.count == 1;
        const bool consistent =
            delegate().messagesBadge()->isVisibleTo(delegate().mainView()) == on &&
            delegate().messagesButton()->isAccented() == on &&
            delegate().appMessagesItem()->isVisible() == on;
        return consistent ? on : !on; // a disagreement fails both ways
    }
    QList<LoopbackHttpServer::Request> requestsTo(const QByteArray& path)
    {
        QList<LoopbackHttpServer::Request> found;
        for (const auto& r : service.requests())
            if (r.path == path)
                found << r;
        return found;
    }
    QStringList listTexts()
    {
        QStringList texts;
        auto* scroll = delegate().messagesWindow()->findChild<QScrollArea*>("messagesScroll");
        // Labels and message texts, top to bottom.
        QList<QWidget*> shown;
        for (QWidget* w : scroll->widget()->findChildren<QWidget*>())
            if (qobject_cast<QLabel*>(w) || qobject_cast<MessageText*>(w))
                shown << w;
        std::sort(shown.begin(), shown.end(),
                  [](QWidget* a, QWidget* b) { return a->y() < b->y(); });
        for (QWidget* w : shown)
            texts << (qobject_cast<QLabel*>(w) ? qobject_cast<QLabel*>(w)->text()
                                               : qobject_cast<MessageText*>(w)->toPlainText());
        return texts;
    }
};

} // namespace

class TestConversation : public QObject {
    Q_OBJECT
private slots:
    void aNewMessageLightsEveryIndicator_data()
    {
        QTest::addColumn<bool>("windowVisible");
        QTest::newRow("window hidden: indicators only") << false;
        QTest::newRow("window visible: the pop-up at once") << true;
    }
    void aNewMessageLightsEveryIndicator()
    {
        QFETCH(bool, windowVisible);
        Conversation c(windowVisible);
        QCOMPARE(c.delegate().mainWindow()->isVisible(), windowVisible);
        c.service.respond("/api/sync.php", {200, kOffer});
        c.rig.alerts.answers << 0; // "Compris"
        c.sync();
        QTRY_COMPARE(c.rig.messages.pendingMessage.has_value() || windowVisible, true);
        if (!windowVisible) {
            QVERIFY(c.indicatorsOn());
            QVERIFY(c.rig.alerts.shown.isEmpty());
            QVERIFY(!c.delegate().messagesBadge()->pixmap().isNull());
            QCOMPARE(c.delegate().messagesBadge()->accessibleName(), QString("1 message non lu"));
            return;
        }
        QTRY_COMPARE(c.rig.alerts.shown.size(), 1);
        QCOMPARE(c.rig.alerts.shown.first().informative, QString("Bonjour, c'est réparé."));
        QVERIFY(!c.indicatorsOn());
        QCOMPARE(c.rig.messages.messageHistory().first().id, 7);
        // Offered again after "Compris": already shown, nothing lights up.
        c.sync();
        QVERIFY(!c.indicatorsOn());
        QCOMPARE(c.rig.alerts.shown.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(c.service.requests().last().body)["m"].toInteger(), 7);
    }

    void theStatusMenuLeadsToThePendingMessage()
    {
        Conversation c;
        c.rig.messages.pendingMessage = PendingMessage{3, "x"};
        QMenu* menu = c.delegate().statusMenu();
        c.delegate().menuWillOpen(menu);
        const QList<QAction*> actions = menu->actions();
        QAction* first = *std::find_if(actions.begin(), actions.end(),
                                       [](QAction* a) { return a->isVisible(); });
        QCOMPARE(first->text(), QString("Message de Velmora Labs"));
        first->trigger();
        QVERIFY(c.delegate().messagesWindow()->isVisible());
        QVERIFY(!c.rig.messages.pendingMessage);
        QVERIFY(!c.indicatorsOn());
    }

    void launchSyncsAndSchedulesTheHourlyOne_data()
    {
        QTest::addColumn<QByteArray>("switchOff"); // "store", "environment" or ""
        QTest::newRow("diagnostics on") << QByteArray();
        // A user's or an administrator's no: nothing leaves unasked; reports still do.
        QTest::newRow("off in the settings") << QByteArray("store");
        QTest::newRow("off by the administrator") << QByteArray("environment");
    }
    void launchSyncsAndSchedulesTheHourlyOne()
    {
        QFETCH(QByteArray, switchOff);
        Conversation c;
        if (switchOff == "store")
            VovirSettings::store().setBool("VSSendDiagnostics", false);
        if (switchOff == "environment")
            qputenv("VELMORA_SEND_DIAGNOSTICS", "0");
        c.delegate().applicationDidFinishLaunching();
        QVERIFY(c.delegate().syncTimer()->isActive());
        QCOMPARE(c.delegate().syncTimer()->interval(), 3600 * 1000);
        QMetaObject::invokeMethod(c.delegate().syncTimer(), "timeout");
        c.service.respond("/api/report.php", {200, j("{'ok': true}")});
        c.rig.messages.reportProblem("x", std::nullopt, {});
        QTRY_COMPARE(c.requestsTo("/api/report.php").size(), 1);
        qunsetenv("VELMORA_SEND_DIAGNOSTICS");
        QCOMPARE(c.requestsTo("/api/sync.php").size(), switchOff.isEmpty() ? 2 : 0);
    }

    void problemReport_data()
    {
        QTest::addColumn<std::optional<ReportForm>>("form");
        QTest::addColumn<R>("answer");
        QTest::addColumn<QString>("result");     // the alert, or "" for none
        QTest::addColumn<QString>("draftAfter"); // what the next dialog opens on
        const ReportForm typed{"\n  Le graphe gèle.\nDepuis hier.  \n", "moi@exemple.ch"};
        const QString sent = "Le graphe gèle.\nDepuis hier.";
        auto row = [](const char* name, std::optional<ReportForm> form, R answer,
                      const QString& result, const QString& draftAfter) {
            QTest::newRow(name) << form << answer << result << draftAfter;
        };
        // Every row starts with an earlier report that did not go through.
        row("cancel keeps the draft", std::nullopt, R{}, "", "Ancien brouillon");
        row("blank throws the draft away", ReportForm{" \n\t", ""}, R{}, "", "");
        row("sent", typed, R{200, j("{'ok': true}")}, "Merci !", "");
        row("refused", typed, R{200, j("{'ok': false}")}, "Envoi impossible", sent);
        row("no answer", typed, R{200, {}, "text/plain", true}, "Envoi impossible", sent);
        row("too large for the service", typed, R{413, j("{'ok': false}")}, "Signalement trop long",
            sent);
    }
    void problemReport()
    {
        QFETCH(std::optional<ReportForm>, form);
        QFETCH(R, answer);
        QFETCH(QString, result);
        QFETCH(QString, draftAfter);
        Conversation c;
        c.service.respond("/api/report.php", answer);
        VovirSettings::store().setDictionary("VSReportDraft", {{"text", "Ancien brouillon"}});
        c.rig.alerts.reports << form;
        c.delegate().reportProblemPressed();
        if (result.isEmpty()) {
            // Nothing was even started (an earlier test's sync may still be under way).
            for (QNetworkReply* reply : SharedNetwork::manager().findChildren<QNetworkReply*>())
                QVERIFY(reply->url().path() != "/api/report.php" || !reply->isRunning());
            QVERIFY(c.requestsTo("/api/report.php").isEmpty());
            QVERIFY(c.rig.alerts.shown.isEmpty());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(c.rig.alerts.shown.size(), 1, 5000);
            QCOMPARE(c.rig.alerts.shown.first().message, result);
            if (!draftAfter.isEmpty())
                QVERIFY(c.rig.alerts.shown.first().informative.endsWith(AppDelegate::kSupportEmail +
                                                                        "."));
            const QJsonObject body =
                QJsonDocument::fromJson(c.requestsTo("/api/report.php").first().body).object();
            QCOMPARE(body["text"].toString(), QString("Le graphe gèle.\nDepuis hier."));
            QCOMPARE(body["email"].toString(), QString("moi@exemple.ch"));
            QVERIFY(!body.contains("reply")); // a report, not an answer in the conversation
        }
        // The next dialog opens on what did not go through, or empty.
        c.rig.alerts.reports << std::nullopt;
        c.delegate().reportProblemPressed();
        const ReportForm draft = c.rig.alerts.drafts.last();
        QCOMPARE(draft.text, draftAfter);
        QCOMPARE(draft.email,
                 draftAfter.startsWith("Le graphe") ? QString("moi@exemple.ch") : QString());
    }

    void messagesWindowList()
    {
        Conversation c;
        c.delegate().showMessages();
        QWidget* window = c.delegate().messagesWindow();
        QCOMPARE(c.listTexts(), QStringList{"Aucun message pour l'instant.\nLes réponses de "
                                            "Velmora Labs apparaîtront ici."});

        // Stored oldest first, listed newest first, with French dates.
        const QDateTime at(QDate(2026, 12, 5), QTime(14, 7));
        const QString address = "https://velmoralabs.example/" + QString(300, 'a');
        VovirSettings::store().setArray(
            "VSMessageHistory",
            {QVariantMap{{"id", qint64(3)}, {"body", address}, {"date", at}},
             QVariantMap{{"id", qint64(1)}, {"body", "Bienvenue"}, {"date", at}, {"mine", false}},
             QVariantMap{{"id", qint64(-5)},
                         {"body", QString("mot ").repeated(1250)},
                         {"date", at},
                         {"mine", true}},
             QVariantMap{{"id", qint64(2)}, {"body", "<b>gras</b>\u0007"}, {"date", at}}});
        c.delegate().showMessages();
        const QStringList texts = c.listTexts();
        QCOMPARE(texts.value(0), QString("Velmora Labs · 5 décembre 2026 à 14h07"));
        QCOMPARE(texts.value(1), QString("<b>gras</b>")); // plain text, control character gone
        QCOMPARE(texts.value(2), QString("Toi · 5 décembre 2026 à 14h07"));
        QCOMPARE(texts.value(3).size(), 4001); // cut short
        QCOMPARE(texts.value(5), QString("Bienvenue"));
        auto* list = window->findChild<QScrollArea*>("messagesScroll")->widget();
        QVERIFY(list->height() > 416);
        // A window with its title for a screen reader, a named reply field; Escape closes it.
        QCOMPARE(QAccessible::queryAccessibleInterface(window)->role(), QAccessible::Window);
        QCOMPARE(QAccessible::queryAccessibleInterface(window)->text(QAccessible::Name),
                 QString("Messages de Velmora Labs"));
        QCOMPARE(c.delegate().replyField()->accessibleName(), QString("Ta réponse à Velmora Labs"));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(c.delegate().replyField(), Qt::Key_Escape);
        QVERIFY(!window->isVisible());
        for (QLabel* label : list->findChildren<QLabel*>())
            QCOMPARE(label->textFormat(), Qt::PlainText);
        // A word longer than the line wraps anywhere: all of it shows.
        QCOMPARE(texts.value(7), address);
        for (MessageText* text : list->findChildren<MessageText*>())
            QVERIFY(text->document()->idealWidth() <= text->width() &&
                    text->height() >= text->heightForWidth(text->width()));
        QCOMPARE(list->findChildren<MessageText*>().size(), 4);
        QVERIFY(list->findChildren<MessageText*>().first()->focusPolicy() & Qt::TabFocus);
    }

    void replyOfflineThenAgainOnline()
    {
        Conversation c;
        c.service.respond("/api/report.php", {503, j("{'ok': false}")});
        c.delegate().showMessages();
        c.delegate().replyField()->setText("  Merci, ça marche !  ");
        QTest::keyClick(c.delegate().replyField(), Qt::Key_Return);
        QCOMPARE(c.delegate().replyField()->text(), QString());
        QCOMPARE(c.listTexts().value(1), QString("Merci, ça marche !"));
        QVERIFY(!c.listTexts().value(0).contains("Non envoyé")); // still travelling
        QTRY_COMPARE_WITH_TIMEOUT(c.rig.alerts.shown.size(), 1, 5000);
        QCOMPARE(c.rig.alerts.shown.first().message, QString("Envoi impossible"));
        QVERIFY(c.listTexts().value(0).endsWith(" · Non envoyé"));
        const QJsonObject sent =
            QJsonDocument::fromJson(c.requestsTo("/api/report.php").first().body).object();
        QCOMPARE(sent["text"].toString(), QString("Merci, ça marche !"));
        QCOMPARE(sent["reply"].toBool(), true); // the maker tells it from a new report

        // What the user types meanwhile survives the list being redone.
        c.delegate().replyField()->setText("brouillon");
        c.service.respond("/api/report.php", {200, j("{'ok': true}")});
        auto* list = c.delegate().messagesWindow()->findChild<QScrollArea*>("messagesScroll");
        QToolButton* resend = list->widget()->findChild<QToolButton*>();
        QCOMPARE(resend->text(), QString("Renvoyer"));
        resend->click();
        QTRY_COMPARE(c.requestsTo("/api/report.php").size(), 2);
        QTRY_VERIFY(!c.rig.messages.messageHistory().first().unsent);
        QTRY_COMPARE(c.listTexts().value(0).endsWith("Non envoyé"), false);
        QCOMPARE(c.rig.alerts.shown.size(), 1);
        QCOMPARE(c.delegate().replyField()->text(), QString("brouillon"));
    }

    // A 60,000-character message with a bidi override: the pop-up stays on the screen with its
    // button, shows what the messages window shows, and nothing reorders the text.
    void aLongMessageStaysOnScreen()
    {
        MessageBoxPresenter presenter;
        const QString body = QString(60000, QLatin1Char('x')) + QChar(0x202E) + "fin";
        QRect dialog, button, screen;
        QString shown;
        QTimer::singleShot(0, [&] {
            QWidget* box = QApplication::activeModalWidget();
            screen = box->screen()->availableGeometry();
            dialog = box->frameGeometry();
            auto* text = box->findChild<QPlainTextEdit*>("alertText");
            shown = text ? text->toPlainText() : QString();
            for (QPushButton* b : box->findChildren<QPushButton*>())
                if (b->text() == "Compris") {
                    button = QRect(b->mapTo(box, QPoint(0, 0)), b->size());
                    b->click();
                }
        });
        presenter.run({"Message de Velmora Labs", shownMessageText(body), {"Compris"}}, nullptr);
        QVERIFY(dialog.width() <= screen.width() && dialog.height() <= screen.height());
        QVERIFY(!button.isEmpty() && QRect(QPoint(0, 0), dialog.size()).contains(button));
        QCOMPARE(shown.size(), 4001); // 4,000 characters and the ellipsis
        // An address longer than a line: the whole of it, in a box that stays narrow.
        const QString address = "https://velmoralabs.example/" + QString(300, 'a');
        QTimer::singleShot(0, [&] {
            QWidget* box = QApplication::activeModalWidget();
            dialog = box->frameGeometry();
            auto* text = box->findChild<QPlainTextEdit*>("alertText");
            shown = text ? text->toPlainText() : QString();
            box->close();
        });
        presenter.run({"Message de Velmora Labs", address, {"Compris"}}, nullptr);
        QCOMPARE(shown, address);
        QVERIFY(dialog.width() < 640);
        // The report form counts what the service takes and sends nothing beyond it; Tab goes
        // from the description on to the e-mail field.
        QString counted, named;
        bool sendable = true, tabbed = false;
        QTimer::singleShot(0, [&] {
            QWidget* form = QApplication::activeModalWidget();
            auto* text = form->findChild<QPlainTextEdit*>("reportText");
            named = text->accessibleName() + '|' + form->findChild<QLineEdit*>()->accessibleName();
            text->setFocus();
            QTest::keyClick(text, Qt::Key_Tab);
            tabbed = qobject_cast<QLineEdit*>(form->focusWidget()) &&
                     !text->toPlainText().contains('\t');
            text->setPlainText(QString(20010, 'a'));
            counted = form->findChild<QLabel*>("reportCount")->text();
            for (QPushButton* b : form->findChildren<QPushButton*>())
                if (b->text() == "Envoyer")
                    sendable = b->isEnabled();
            form->close();
        });
        presenter.askReport({"", ""}, nullptr);
        QVERIFY(tabbed);
        QCOMPARE(named, QString("Description du problème|Adresse e-mail, facultative"));
        QCOMPARE(counted, "Trop long de 10 caractères (" +
                              QLocale(QLocale::French, QLocale::France).toString(20000) +
                              " au plus)");
        QVERIFY(!sendable);
        // What reorders or hides text goes; what joins letters and emoji stays.
        const QString joined = QStringLiteral("\u0645\u06cc\u200c\u062e\u0648\u0627\u0647\u0645 "
                                              "\U0001f469\u200d\U0001f4bb"); // Persian, an emoji
        QCOMPARE(shownMessageText(joined + QStringLiteral("\u202e\u200b\u2066.")), joined + '.');
        // A short text from outside is plain text too.
        QStringList formats;
        QTimer::singleShot(0, [&formats] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            for (QLabel* label : box->findChildren<QLabel*>())
                if (!label->text().isEmpty())
                    formats << label->text() + (label->textFormat() == Qt::PlainText ? "" : " !");
            box->buttons().first()->click();
        });
        presenter.run({"Message de Velmora Labs", "<b>gras</b>", {"Compris"}}, nullptr);
        QVERIFY2(formats.contains("<b>gras</b>"), qPrintable(formats.join("|")));
        QVERIFY(formats.filter(" !").isEmpty());
    }
};

QTEST_MAIN(TestConversation)
#include "tst_conversation.moc"
