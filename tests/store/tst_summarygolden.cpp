// What the summaries' install runs, checked without a server.

#include "core/store/summaryschema.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

class TestSummaryGolden : public QObject
{
    Q_OBJECT

private slots:
    // What install() runs for each layout, against golden/summaries-*.sql
    // (TK52K_UPDATE_GOLDEN=1 writes them anew): a change to what the
    // writers' triggers do shows as a diff there, and every placeholder of
    // the SQL files is filled but the summaries' own names.
    void installScriptGolden_data()
    {
        QTest::addColumn<bool>("hasId");
        QTest::addColumn<bool>("hasSource");
        QTest::newRow("five-columns") << false << false;
        QTest::newRow("id") << true << false;
        QTest::newRow("id-source") << true << true;
    }
    void installScriptGolden()
    {
        QFETCH(bool, hasId);
        QFETCH(bool, hasSource);
        SummarySchema::ScriptTarget target;
        target.hasId = hasId;
        target.hasSource = hasSource;
        const QString got = SummarySchema::installScript(target).join(QStringLiteral(";\n\n")) + ";\n";
        const QString left = QString(got).remove(QRegularExpression(QStringLiteral("\\{(SUM|FN|TAGNO)\\}")));
        const QRegularExpressionMatch unfilled =
            QRegularExpression(QStringLiteral("\\{[A-Z_]+\\}")).match(left);
        QVERIFY2(!unfilled.hasMatch(), qPrintable(unfilled.captured()));
        QFile file(QStringLiteral(TK52K_GOLDEN_DIR "/summaries-%1.sql").arg(QTest::currentDataTag()));
        if (qEnvironmentVariableIsSet("TK52K_UPDATE_GOLDEN")) {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(got.toUtf8()) > 0);
            return;
        }
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        const QStringList want = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        const QStringList lines = got.split(QLatin1Char('\n'));
        for (int i = 0; i < std::max(lines.size(), want.size()); ++i)
            QVERIFY2(lines.value(i) == want.value(i), qPrintable(QStringLiteral("line %1: %2\n  golden: %3")
                                                                     .arg(i + 1)
                                                                     .arg(lines.value(i), want.value(i))));
    }
};

QTEST_GUILESS_MAIN(TestSummaryGolden)
#include "tst_summarygolden.moc"
