#pragma once

// Tables shaped like the two windows' ones, shared by the export tests.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardItemModel>
#include <QStringList>
#include <QtDebug>

#include <memory>

inline std::unique_ptr<QStandardItemModel> makeTable(const QStringList &headers,
                                                     const QList<QStringList> &rows)
{
    auto model = std::make_unique<QStandardItemModel>(0, headers.size());
    model->setHorizontalHeaderLabels(headers);
    for (const QStringList &row : rows) {
        QList<QStandardItem *> items;
        for (const QString &cell : row)
            items.append(new QStandardItem(cell));
        model->appendRow(items);
    }
    return model;
}

inline QStringList mainHeaders() { return {"时间", "数据", "功能"}; }
inline QStringList historyHeaders() { return {"时间", "数据", "单位", "功能"}; }

inline QList<QStringList> mainRows()
{
    return {{"10:00:01", "1.234", QStringLiteral("直流电压")},
            {"10:00:02", "-0.050", QStringLiteral("直流电压")},
            {"10:00:03", QStringLiteral("+ OL "), QStringLiteral("直流电压")}};
}

inline QList<QStringList> historyRows()
{
    return {{"2024-05-01 10:00:01", "1.234", "V", QStringLiteral("直流电压")},
            {"2024-05-01 10:00:02", "012", QStringLiteral("Ω"), QStringLiteral("电阻")},
            {"2024-05-01 10:00:03", "", "mA", QStringLiteral("交流电流")}};
}

/// A workbook as an independent reader (openpyxl, through check_workbook.py)
/// finds it: one JSON object per worksheet.
inline QJsonArray inspectWorkbook(const QString &path)
{
    QProcess py;
    py.start(QStringLiteral("/usr/bin/python3"),
             {qEnvironmentVariable("TK52K_SOURCE_DIR") + "/tests/export/check_workbook.py", path});
    if (!py.waitForFinished(60000) || py.exitCode() != 0)
        qWarning() << py.readAllStandardError();
    return QJsonDocument::fromJson(py.readAllStandardOutput()).object()["sheets"].toArray();
}

/// The data rows (row 3 on) of every worksheet of `sheets`, in order.
inline QList<QStringList> workbookRows(const QJsonArray &sheets)
{
    QList<QStringList> rows;
    for (const QJsonValue &sheet : sheets) {
        const QJsonArray values = sheet.toObject()["values"].toArray();
        for (int r = 2; r < values.size(); ++r) {
            QStringList row;
            for (const QJsonValue &v : values.at(r).toArray())
                row.append(v.toString());
            rows.append(row);
        }
    }
    return rows;
}
