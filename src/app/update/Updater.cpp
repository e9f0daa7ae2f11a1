#include "Updater.h"

#include "service/AppInfo.h"
#include "service/SharedNetwork.h"
#include "settings/UserDefaults.h"
#include "settings/VovirSettings.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QXmlStreamReader>

namespace {

const char* const kDefaultFeed = "https://velmoralabs.ch/velmoravovir/appcast.xml";
const QString kChecksKey = QStringLiteral("VSAutomaticallyChecksForUpdates");
const QString kDownloadsKey = QStringLiteral("VSAutomaticallyDownloadsUpdates");
const QString kLastCheckKey = QStringLiteral("VSLastUpdateCheck");
const QString kSparkleNs = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");
constexpr int kMaxDepth = 32;

UpdateCheckResult failure(const QString& why)
{
    UpdateCheckResult r;
    r.outcome = UpdateCheckResult::Outcome::Failed;
    r.error = why;
    return r;
}

// A page the user may be sent to: HTTPS, or plain HTTP on the feed's own origin only (a feed
// read over HTTPS cannot send the user to a page anyone on the way can change).
QUrl webAddress(const QString& text, const QUrl& feed)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
                   (scheme == QLatin1String("https") ||
                    (scheme == QLatin1String("http") && SharedNetwork::sameOrigin(url, feed)))
               ? url
               : QUrl();
}

struct FeedItem {
    QString version;
    QUrl page;
};

} // namespace

Updater::Updater(QUrl feed, QString currentVersion, QObject* parent)
    : QObject(parent), m_feed(std::move(feed)),
      m_currentVersion(currentVersion.isEmpty() ? AppInfo::version() : currentVersion)
{
    m_schedule.setSingleShot(true);
    m_schedule.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_schedule, &QTimer::timeout, this, [this] {
        if (automaticallyChecksForUpdates())
            checkForUpdates(false);
        scheduleNextCheck();
    });
}

QUrl Updater::defaultFeed()
{
    const QString override = qEnvironmentVariable("VELMORA_UPDATE_FEED_URL");
    return QUrl(override.isEmpty() ? QString::fromLatin1(kDefaultFeed) : override);
}

bool Updater::automaticallyChecksForUpdates() const
{
    return VovirSettings::store().boolValue(kChecksKey);
}

void Updater::setAutomaticallyChecksForUpdates(bool on)
{
    VovirSettings::store().setBool(kChecksKey, on);
    scheduleNextCheck();
}

bool Updater::automaticallyDownloadsUpdates() const
{
    return VovirSettings::store().boolValue(kDownloadsKey);
}

void Updater::setAutomaticallyDownloadsUpdates(bool on)
{
    VovirSettings::store().setBool(kDownloadsKey, on);
}

void Updater::setUpdateCheckInterval(int seconds)
{
    m_intervalSeconds = seconds;
    scheduleNextCheck();
}

void Updater::scheduleNextCheck()
{
    m_schedule.stop();
    if (m_intervalSeconds <= 0 || !automaticallyChecksForUpdates())
        return;
    // Due one interval after the last check; never sooner than a minute after launch.
    const QDateTime last = VovirSettings::store().dateValue(kLastCheckKey);
    qint64 dueInMs = qint64(m_intervalSeconds) * 1000;
    if (last.isValid())
        dueInMs -= last.msecsTo(QDateTime::currentDateTimeUtc());
    m_schedule.start(int(std::clamp<qint64>(dueInMs, 60'000, qint64(m_intervalSeconds) * 1000)));
}

void Updater::checkForUpdates(bool userInitiated)
{
    if (m_reply) {
        m_userInitiated = m_userInitiated || userInitiated; // one check serves both
        return;
    }
    m_userInitiated = userInitiated;
    QNetworkRequest request(m_feed);
    request.setTransferTimeout(m_timeoutMs);
    request.setMaximumRedirectsAllowed(5);
    // A redirection is followed within the feed's origin only: elsewhere, whoever answers
    // there would choose the version offered and the page the user is sent to.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    QNetworkReply* reply = SharedNetwork::manager().get(request);
    connect(reply, &QNetworkReply::redirected, this, [this, reply](const QUrl& target) {
        if (SharedNetwork::sameOrigin(target, m_feed)) {
            emit reply->redirectAllowed();
            return;
        }
        reply->setProperty("redirectedTo", target);
        reply->abort();
    });
    m_reply = reply;
    emit checkStarted();
    // The whole check has a deadline: a feed trickling a byte a second would otherwise never end
    // and every later check would wait behind it.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty("timedOut", true);
        reply->abort();
    });
    deadline->start(m_timeoutMs);
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64) {
        if (received > kMaxFeedBytes) {
            reply->setProperty("tooLarge", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        m_reply = nullptr;
        VovirSettings::store().setDate(kLastCheckKey, QDateTime::currentDateTimeUtc());
        if (reply->property("timedOut").toBool())
            return finish(failure(QStringLiteral("the update feed did not arrive in time")));
        if (reply->property("tooLarge").toBool())
            return finish(failure(QStringLiteral("the update feed is larger than 1 MiB")));
        if (const QUrl elsewhere = reply->property("redirectedTo").toUrl(); elsewhere.isValid())
            return finish(failure(QStringLiteral("the update feed redirects to another origin, %1")
                                      .arg(elsewhere.toDisplayString())));
        if (reply->error() != QNetworkReply::NoError)
            return finish(failure(reply->errorString()));
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status != 0 && status != 200)
            return finish(failure(QStringLiteral("the update feed answered HTTP %1").arg(status)));
        finish(parseFeed(reply->read(kMaxFeedBytes + 1), m_currentVersion, m_feed));
    });
}

void Updater::finish(const UpdateCheckResult& result)
{
    emit checkFinished(result, m_userInitiated);
    m_userInitiated = false;
}

std::optional<QVersionNumber> Updater::parseVersion(const QString& text)
{
    qsizetype end = 0;
    const QVersionNumber version = QVersionNumber::fromString(text, &end);
    // The whole text must be the number: "1.0.0-beta" is no version to compare.
    if (version.isNull() || end != text.size())
        return std::nullopt;
    return version.normalized(); // 1.0 and 1.0.0 are the same version
}

std::optional<int> Updater::compareVersions(const QString& a, const QString& b)
{
    const std::optional<QVersionNumber> left = parseVersion(a), right = parseVersion(b);
    if (!left || !right)
        return std::nullopt;
    const int order = QVersionNumber::compare(*left, *right);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

UpdateCheckResult Updater::parseFeed(const QByteArray& xml, const QString& currentVersion,
                                     const QUrl& feed)
{
    if (xml.size() > kMaxFeedBytes)
        return failure(QStringLiteral("the update feed is larger than 1 MiB"));
    QXmlStreamReader reader(xml);
    std::optional<FeedItem> best;
    std::optional<FeedItem> item;
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::DTD)
            return failure(QStringLiteral("the update feed declares a DTD")); // entity tricks
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            if (reader.name() == QLatin1String("item") && item) {
                // An item whose version cannot be read ("1.0.0-beta") is skipped, not fatal.
                const std::optional<int> order = !parseVersion(item->version) ? std::nullopt
                                                 : best
                                                     ? compareVersions(item->version, best->version)
                                                     : std::optional<int>(1);
                if (order && *order > 0 && webAddress(item->page.toString(), feed).isValid())
                    best = item;
                item.reset();
            }
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (++depth > kMaxDepth)
            return failure(QStringLiteral("the update feed is nested too deeply"));
        const auto name = reader.name();
        if (name == QLatin1String("item")) {
            item = FeedItem{};
            continue;
        }
        if (!item)
            continue;
        const bool sparkle = reader.namespaceUri() == kSparkleNs;
        if (name == QLatin1String("enclosure")) {
            const QXmlStreamAttributes attributes = reader.attributes();
            const QString shortVersion =
                attributes.value(kSparkleNs, QStringLiteral("shortVersionString")).toString();
            const QString version =
                attributes.value(kSparkleNs, QStringLiteral("version")).toString();
            if (item->version.isEmpty())
                item->version = !shortVersion.isEmpty() ? shortVersion : version;
            if (item->page.isEmpty())
                item->page = webAddress(attributes.value(QStringLiteral("url")).toString(), feed);
        } else if (sparkle && name == QLatin1String("shortVersionString")) {
            item->version = reader.readElementText().trimmed();
            --depth;
        } else if (sparkle && name == QLatin1String("version")) {
            const QString text = reader.readElementText().trimmed();
            if (item->version.isEmpty())
                item->version = text;
            --depth;
        } else if (!sparkle && name == QLatin1String("link")) {
            // The item's web page beats the enclosure's file: the user downloads from a page.
            const QUrl page = webAddress(reader.readElementText(), feed);
            if (page.isValid())
                item->page = page;
            --depth;
        }
    }
    if (reader.hasError())
        return failure(
            QStringLiteral("the update feed is not valid XML: %1").arg(reader.errorString()));
    if (!best)
        return failure(QStringLiteral("the update feed lists no usable version"));
    const std::optional<int> order = compareVersions(best->version, currentVersion);
    if (!order)
        return failure(
            QStringLiteral("cannot compare version %1 with %2").arg(best->version, currentVersion));
    UpdateCheckResult result;
    result.version = best->version;
    result.downloadPage = best->page;
    result.outcome = *order > 0 ? UpdateCheckResult::Outcome::NewerAvailable
                                : UpdateCheckResult::Outcome::UpToDate;
    return result;
}

std::optional<Alert> Updater::alertFor(const UpdateCheckResult& result, bool userInitiated)
{
    switch (result.outcome) {
    case UpdateCheckResult::Outcome::NewerAvailable:
        return Alert{QStringLiteral("Une nouvelle version de VelmoraVovir est disponible"),
                     QStringLiteral("La version %1 est disponible ; tu as la version %2.\n\n"
                                    "Elle se télécharge depuis la page de Velmora Labs.")
                         .arg(result.version, AppInfo::version()),
                     {QStringLiteral("Télécharger"), QStringLiteral("Plus tard")}};
    case UpdateCheckResult::Outcome::UpToDate:
        if (!userInitiated)
            return std::nullopt;
        return Alert{
            QStringLiteral("VelmoraVovir est à jour"),
            QStringLiteral("Tu as la version %1, la plus récente.").arg(AppInfo::version()),
            {QStringLiteral("OK")}};
    case UpdateCheckResult::Outcome::Failed:
    default:
        if (!userInitiated)
            return std::nullopt;
        return Alert{QStringLiteral("La recherche de mises à jour a échoué"),
                     QStringLiteral("Impossible de joindre le serveur de mises à jour ou de lire "
                                    "sa réponse. Vérifie ta connexion et réessaie plus tard."),
                     {QStringLiteral("OK")}};
    }
}
