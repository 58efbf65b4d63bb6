#pragma once

// Tables shaped like the two windows' ones, shared by the export tests.
#include <QStandardItemModel>
#include <QStringList>

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
