#include "Mailer.h"

#include "store/Store.h"

#include <QDateTime>
#include <QTimer>

#include <cstdio>

qint64 Mailer::retryDelayMs(int tries)
{
    return qMin<qint64>(60'000LL << qBound(0, tries - 1, 10), 3'600'000);
}

Mailer::Mailer(QString databaseUrl, QString password, MailSettings settings)
    : m_url(std::move(databaseUrl)), m_password(std::move(password)), m_sender(std::move(settings))
{
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.setObjectName(QStringLiteral("mailer"));
    m_thread.start();
    QMetaObject::invokeMethod(m_worker, [this] {
        auto* poll = new QTimer(m_worker);
        poll->callOnTimeout([this] { sendDue(); });
        poll->start(kPollMs);
        sendDue();
    });
}

Mailer::~Mailer()
{
    // A mail being sent is cut short (it goes again later); the store is closed in the thread
    // that opened it.
    m_stopping = true;
    QMetaObject::invokeMethod(
        m_worker, [this] { m_store.reset(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void Mailer::wake()
{
    QMetaObject::invokeMethod(m_worker, [this] { sendDue(); });
}

void Mailer::sendDue()
{
    if (!m_store) {
        QString error;
        std::optional<Store> opened = Store::open(m_url, &error, m_password);
        if (!opened) {
            std::fprintf(stderr, "velmora-service: mailer: %s\n", qPrintable(error));
            return;
        }
        m_store = std::make_unique<Store>(std::move(*opened));
    }
    while (!m_stopping) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const auto due = m_store->dueMail(now, 10);
        if (!due) {
            std::fprintf(stderr, "velmora-service: mailer: %s\n", qPrintable(m_store->lastError()));
            return;
        }
        if (due->isEmpty())
            return;
        for (const Store::QueuedMail& mail : *due) {
            if (m_stopping)
                return;
            // Another instance may have taken it since it was read.
            const std::optional<bool> held =
                m_store->holdMail(mail.id, QDateTime::currentMSecsSinceEpoch() + kHoldMs, now);
            if (!held)
                return;
            if (!*held)
                continue;
            const SmtpSender::Outcome outcome =
                m_sender.send({mail.recipient, mail.text}, &m_stopping);
            const int tries = mail.tries + 1;
            std::optional<qint64> again;
            if (!outcome.sent && !outcome.permanent && tries < kMostTries)
                again = QDateTime::currentMSecsSinceEpoch() + retryDelayMs(tries);
            const QString why =
                outcome.sent || outcome.permanent || again
                    ? outcome.why
                    : QStringLiteral("abandonné après %1 essais : %2").arg(tries).arg(outcome.why);
            if (!m_store->mailDone(mail.id, outcome.sent, why, again))
                std::fprintf(stderr, "velmora-service: mailer: %s\n",
                             qPrintable(m_store->lastError()));
        }
    }
}
