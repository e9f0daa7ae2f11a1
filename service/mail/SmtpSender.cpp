#include "SmtpSender.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <curl/curl.h>

#include <memory>

namespace {

const QString kSubject = QStringLiteral("Réponse à ton message sur VelmoraVovir");

// A header's value outside ASCII, as RFC 2047 writes it (the one format step libcurl leaves to
// its caller).
QByteArray encodedWord(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    for (char c : utf8)
        if (static_cast<unsigned char>(c) >= 0x80)
            return "=?UTF-8?B?" + utf8.toBase64() + "?=";
    return utf8;
}

template <typename T, void (*Free)(T*)> struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Easy = std::unique_ptr<CURL, Freer<CURL, curl_easy_cleanup>>;
using Mime = std::unique_ptr<curl_mime, Freer<curl_mime, curl_mime_free>>;
using List = std::unique_ptr<curl_slist, Freer<curl_slist, curl_slist_free_all>>;

void append(List& list, const QByteArray& line)
{
    curl_slist* grown = curl_slist_append(list.get(), line.constData());
    if (grown) {
        (void)list.release();
        list.reset(grown);
    }
}

QString whyNot(CURLcode code, long smtp, const char* detail)
{
    const QString said = QString::fromUtf8(*detail ? detail : curl_easy_strerror(code));
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("relais injoignable (%1)").arg(said);
    case CURLE_OPERATION_TIMEDOUT:
        return QStringLiteral("le relais n'a pas répondu à temps");
    case CURLE_USE_SSL_FAILED:
        return QStringLiteral("le relais ne propose pas STARTTLS : rien n'est envoyé en clair");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return QStringLiteral("liaison chiffrée impossible (%1)").arg(said);
    case CURLE_ABORTED_BY_CALLBACK:
        return QStringLiteral("interrompu : le service s'arrêtait");
    case CURLE_LOGIN_DENIED:
        return QStringLiteral("le relais refuse l'identifiant (code %1)").arg(smtp);
    default:
        break;
    }
    if (smtp >= 500)
        return QStringLiteral("refusé par le relais (code %1 : %2)").arg(smtp).arg(said);
    if (smtp >= 400)
        return QStringLiteral("le relais demande de réessayer plus tard (code %1)").arg(smtp);
    return said;
}

} // namespace

SmtpSender::SmtpSender(MailSettings settings) : m_settings(std::move(settings))
{
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)ready;
}

QString SmtpSender::bodyOf(const QString& text) const
{
    return QStringLiteral("Bonjour,\n\n%1\n\n-- \n%2\n\nTu peux aussi lire cette réponse et y "
                          "répondre dans VelmoraVovir, menu Messages.\n")
        .arg(text.trimmed(), m_settings.signature);
}

SmtpSender::Outcome SmtpSender::send(const Mail& mail, const std::atomic<bool>* stop) const
{
    // Checked again here: a row written by an older version or by hand is not trusted either.
    if (const auto problem = addressProblem(mail.to))
        return {false, true, *problem};
    Easy curl(curl_easy_init());
    if (!curl)
        return {false, false, QStringLiteral("libcurl n'a pas pu démarrer")};
    char detail[CURL_ERROR_SIZE] = {};
    const QByteArray url = m_settings.relay.toString(QUrl::FullyEncoded).toUtf8();
    const QByteArray from = '<' + m_settings.from.toUtf8() + '>';
    const QByteArray caFile = m_settings.caFile.toUtf8();
    const QByteArray user = m_settings.user.toUtf8();
    const QByteArray password = m_settings.password.toUtf8();
    List recipients;
    append(recipients, '<' + mail.to.toUtf8() + '>');
    const QByteArray domain = m_settings.from.section(QLatin1Char('@'), 1).toUtf8();
    List headers;
    append(headers, "From: VelmoraVovir " + from);
    append(headers, "To: <" + mail.to.toUtf8() + '>');
    if (!m_settings.replyTo.isEmpty())
        append(headers, "Reply-To: <" + m_settings.replyTo.toUtf8() + '>');
    append(headers, "Subject: " + encodedWord(kSubject));
    append(headers, "Date: " + QDateTime::currentDateTimeUtc().toString(Qt::RFC2822Date).toUtf8());
    append(headers, "Message-ID: <" +
                        QByteArray::number(QRandomGenerator::system()->generate64(), 36) + '.' +
                        QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36) + '@' + domain +
                        '>');
    Mime mime(curl_mime_init(curl.get()));
    curl_mimepart* part = curl_mime_addpart(mime.get());
    // Mail lines end in CRLF; the encoder keeps them as line ends only then.
    QString text = bodyOf(mail.text);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'))
        .replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray body = text.toUtf8();
    curl_mime_data(part, body.constData(), size_t(body.size()));
    curl_mime_type(part, "text/plain; charset=UTF-8");
    curl_mime_encoder(part, "quoted-printable");

    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    // smtp://: STARTTLS or nothing, never the answer in clear.
    curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    if (!caFile.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile.constData());
    if (!user.isEmpty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
    }
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kTimeoutMs);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 15'000L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    if (stop) {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, stop);
        curl_easy_setopt(
            c, CURLOPT_XFERINFOFUNCTION,
            +[](void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
                return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
            });
    }
    const CURLcode code = curl_easy_perform(c);
    long smtp = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &smtp);
    if (code == CURLE_OK)
        return {true, false, QString()};
    // A refusal for good (no such mailbox, message refused); an identifier the relay refuses
    // is the administrator's to mend, and the answer waits for it.
    const bool permanent = smtp >= 500 && smtp < 600 && code != CURLE_LOGIN_DENIED;
    return {false, permanent, whyNot(code, smtp, detail)};
}
