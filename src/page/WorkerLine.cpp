#include "WorkerLine.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringList>

#include <limits>

namespace WorkerProtocol {

namespace {

// Stands for the rest of a line that outgrew kMaxLineBytes. No kind begins with a NUL byte, so a line that
// starts with it can only be such a tail.
constexpr char kOverflowMarker = '\0';

QString joinFrom(const QStringList& fields, qsizetype first, QStringView separator)
{
    return fields.mid(first).join(separator);
}

// A count is a JSON number that is a whole value from 0 to INT_MAX; a fraction, a negative or a huge value is not.
bool isCount(const QJsonValue& value)
{
    if (!value.isDouble())
        return false;
    const qint64 whole = value.toInteger(-1);
    return whole >= 0 && whole <= std::numeric_limits<int>::max() && double(whole) == value.toDouble();
}

int decimalOr(const QString& field, int fallback)
{
    bool ok = false;
    const int value = field.toInt(&ok, 10);
    return ok ? value : fallback;
}

} // namespace

QList<QByteArray> takeCompleteLines(QByteArray& buffer)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = buffer.indexOf('\n', start);
        if (end < 0)
            break;
        const qsizetype length = end - start;
        const bool overflowTail = length > 0 && buffer.at(start) == kOverflowMarker;
        if (length <= kMaxLineBytes && !overflowTail)
            lines.append(buffer.mid(start, length));
        start = end + 1;
    }
    buffer.remove(0, start);
    if (buffer.size() > kMaxLineBytes)
        buffer = QByteArray(1, kOverflowMarker);
    return lines;
}

std::optional<WorkerLine> parseWorkerLine(QByteArrayView line)
{
    // QByteArrayView::trimmed removes exactly the ASCII white space: space, \t, \n, \v, \f, \r.
    const QByteArrayView trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;

    const QStringList fields = QString::fromUtf8(trimmed).split(QLatin1Char('\t'), Qt::KeepEmptyParts);
    const QString& kind = fields.first();
    const QStringView twoSpaces = u"  ";
    const QStringView tab = u"\t";

    WorkerLine out;
    if (kind == u"LOG") {
        out.kind = WorkerLine::Kind::Log;
        out.text = joinFrom(fields, 1, twoSpaces);
    } else if (kind == u"ERROR") {
        out.kind = WorkerLine::Kind::Error;
        out.text = joinFrom(fields, 1, twoSpaces);
    } else if (kind == u"PROGRESS") {
        if (fields.size() < 4)
            return std::nullopt;
        out.kind = WorkerLine::Kind::Progress;
        out.current = decimalOr(fields.at(1), 0);
        out.total = decimalOr(fields.at(2), 1);
        if (out.total < 1)
            out.total = 1;
        out.text = joinFrom(fields, 3, twoSpaces);
    } else if (kind == u"ITEM") {
        if (fields.size() < 3)
            return std::nullopt;
        out.kind = WorkerLine::Kind::Item;
        out.result = fields.at(1);
        // A path may hold tabs: the fields after the result are one path.
        out.path = QDir::fromNativeSeparators(joinFrom(fields, 2, tab));
    } else if (kind == u"DONE") {
        if (fields.size() < 2)
            return std::nullopt;
        out.kind = WorkerLine::Kind::Done;
        out.counts = parseDoneCounts(joinFrom(fields, 1, tab).toUtf8());
    } else {
        return std::nullopt;
    }
    return out;
}

DoneCounts parseDoneCounts(QByteArrayView json)
{
    DoneCounts counts;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return counts;
    const QJsonObject object = document.object();
    // toInt and toInteger give 0 for anything that is not a whole number in range, strings included; a
    // huge or fractional double never reaches an integer conversion.
    counts.exported = object.value(QLatin1String("exported")).toInt();
    counts.skipped = object.value(QLatin1String("skipped")).toInt();
    counts.failed = object.value(QLatin1String("failed")).toInt();
    counts.bytesSaved = object.value(QLatin1String("bytesSaved")).toInteger();

    const QJsonValue skipped = object.value(QLatin1String("skipped"));
    const QJsonValue bytesSaved = object.value(QLatin1String("bytesSaved"));
    counts.wellFormed = isCount(object.value(QLatin1String("exported"))) &&
                        isCount(object.value(QLatin1String("failed"))) && (skipped.isUndefined() || isCount(skipped)) &&
                        (bytesSaved.isUndefined() ||
                         (bytesSaved.isDouble() && double(bytesSaved.toInteger()) == bytesSaved.toDouble()));
    return counts;
}

} // namespace WorkerProtocol
