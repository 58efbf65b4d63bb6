#include "recordspool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
const QLatin1String kFormatName("tk52k-pending-readings");
constexpr int kFormatVersion = 1;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}
} // namespace

QString RecordSpool::directory()
{
    if (qEnvironmentVariableIsSet("TK52K_SPOOL_DIR"))
        return qEnvironmentVariable("TK52K_SPOOL_DIR");
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString RecordSpool::filePath()
{
    return QDir(directory()).filePath(QStringLiteral("pending-readings.json"));
}

bool RecordSpool::save(const QString &path, const SpoolContents &contents, QString *error)
{
    QJsonArray rows;
    for (const MeasurementRecord &r : contents.records) {
        rows.append(QJsonObject{{QStringLiteral("func"), r.funcStr},
                                {QStringLiteral("value"), r.valueText},
                                {QStringLiteral("unit"), r.unitStr},
                                {QStringLiteral("range"), r.rangeIndex},
                                {QStringLiteral("time"), r.timeText()}});
    }
    QJsonObject root{{QStringLiteral("format"), kFormatName},
                     {QStringLiteral("version"), kFormatVersion},
                     {QStringLiteral("records"), rows}};
    if (contents.uncertainXid != 0 && contents.uncertainCount > 0) {
        // As text: a JSON number is a double and would round a 64-bit id.
        root.insert(QStringLiteral("uncertainTransaction"), QString::number(contents.uncertainXid));
        root.insert(QStringLiteral("uncertainCount"), contents.uncertainCount);
    }

    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        setError(error, QStringLiteral("cannot create the folder of %1").arg(path));
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, file.errorString());
        return false;
    }
    file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        setError(error, file.errorString());
        return false;
    }
    return true;
}

bool RecordSpool::load(const QString &path, SpoolContents *contents, QString *error)
{
    *contents = SpoolContents();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonObject root = doc.object();
    if (doc.isNull() || root.value(QStringLiteral("format")).toString() != kFormatName ||
        root.value(QStringLiteral("version")).toInt() != kFormatVersion) {
        setError(error, QStringLiteral("%1 is not a spool file of this program").arg(path));
        return false;
    }

    SpoolContents loaded;
    const QJsonArray rows = root.value(QStringLiteral("records")).toArray();
    loaded.records.reserve(rows.size());
    for (const QJsonValue &v : rows) {
        const QJsonObject o = v.toObject();
        MeasurementRecord r;
        r.funcStr = o.value(QStringLiteral("func")).toString();
        r.valueText = o.value(QStringLiteral("value")).toString();
        r.unitStr = o.value(QStringLiteral("unit")).toString();
        r.rangeIndex = o.value(QStringLiteral("range")).toInt(-1);
        r.time = QDateTime::fromString(o.value(QStringLiteral("time")).toString(),
                                       QLatin1String(kRecordTimeFormat));
        if (!r.time.isValid() || !o.value(QStringLiteral("value")).isString()) {
            setError(error, QStringLiteral("%1 holds a damaged record").arg(path));
            return false;
        }
        loaded.records.append(r);
    }
    loaded.uncertainXid = root.value(QStringLiteral("uncertainTransaction")).toString().toLongLong();
    loaded.uncertainCount =
        qBound(0, root.value(QStringLiteral("uncertainCount")).toInt(), loaded.records.size());
    if (loaded.uncertainXid == 0 || loaded.uncertainCount == 0) {
        loaded.uncertainXid = 0;
        loaded.uncertainCount = 0;
    }
    *contents = loaded;
    return true;
}
