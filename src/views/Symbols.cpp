#include "Symbols.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QHash>

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace {

QString symbolPath(const QString& name)
{
    return QStringLiteral(":/symbols/%1.svg").arg(name);
}

QPixmap render(const QString& path, qreal size, qreal devicePixelRatio)
{
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return {};
    const int side = std::max(1, qRound(size * devicePixelRatio));
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace

bool hasSymbol(const QString& name)
{
    return QFile::exists(symbolPath(name));
}

QPixmap symbolPixmap(const QString& name, qreal pointSize, const QColor& tint,
                     qreal devicePixelRatio)
{
    if (!hasSymbol(name))
        return {};
    QPixmap pixmap = render(symbolPath(name), pointSize, devicePixelRatio);
    if (pixmap.isNull())
        return {};
    // Symbols are drawn in black; the tint replaces the colour and keeps the shape's alpha.
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRectF(0, 0, pixmap.width(), pixmap.height()), tint);
    return pixmap;
}

QIcon symbolIcon(const QString& name, qreal pointSize, const QColor& tint)
{
    QIcon icon;
    for (qreal ratio : {1.0, 2.0}) {
        const QPixmap pixmap = symbolPixmap(name, pointSize, tint, ratio);
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    return icon;
}

QPixmap applicationIconPixmap(int size, qreal devicePixelRatio)
{
    return render(QStringLiteral(":/icons/velmoravovir.svg"), size, devicePixelRatio);
}

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QPixmap pixmap = applicationIconPixmap(size);
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    return icon;
}

namespace {

bool someFontDraws(char32_t character)
{
    static QHash<char32_t, bool> known; // asked once per character: every family is opened
    const auto found = known.constFind(character);
    if (found != known.constEnd())
        return *found;
    bool drawn = false;
    for (const QString& family : QFontDatabase::families()) {
        QFont font(family);
        font.setStyleStrategy(QFont::NoFontMerging);
        if ((drawn = QFontMetrics(font).inFontUcs4(character)))
            break;
    }
    known.insert(character, drawn);
    return drawn;
}

} // namespace

QString withDrawableEmoji(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            const char32_t character = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
            if (someFontDraws(character))
                kept += QString::fromUcs4(&character, 1);
            else if (kept.endsWith(QLatin1Char(' ')))
                kept.chop(1); // the space that led to it
            continue;
        }
        kept += text[i];
    }
    return kept;
}
