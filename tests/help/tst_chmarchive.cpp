#include "help/chmarchive.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

// Reads the manual the build compiled back with the archive reader: the
// contents, every page and image it names, every link between pages.
class TstChmArchive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void normalizedPath_data();
    void normalizedPath();
    void parseSitemap_data();
    void parseSitemap();
    void sitemapEntities();

    void openFailures();
    void manualSettings();
    void contentsMatchSource();
    void everyContentsPageResolves();
    void everyProjectFileIsInside();
    void everyLinkResolves();
    void objectLookup();
    void decodeText_data();
    void decodeText();

private:
    QString m_chm;
    QString m_sourceDir;
    ChmArchive m_archive;
};

namespace {

// Flattens a tree into "depth|name|local" lines, which compare and print well.
void flatten(const QVector<ChmTopic> &topics, int depth, QStringList *out)
{
    for (const ChmTopic &t : topics) {
        out->append(QStringLiteral("%1|%2|%3").arg(depth).arg(t.name, t.local));
        flatten(t.children, depth + 1, out);
    }
}

QStringList flat(const QVector<ChmTopic> &topics)
{
    QStringList out;
    flatten(topics, 0, &out);
    return out;
}

QString pathOf(const QString &link)
{
    const int hash = link.indexOf(QLatin1Char('#'));
    return hash < 0 ? link : link.left(hash);
}

} // namespace

void TstChmArchive::initTestCase()
{
    m_chm = qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/help.chm");
    m_sourceDir = qEnvironmentVariable("TK52K_SOURCE_DIR") + QStringLiteral("/docs/manual");
    QVERIFY2(QFile::exists(m_chm), qPrintable(QStringLiteral("the build made no %1").arg(m_chm)));
    QVERIFY2(m_archive.open(m_chm), qPrintable(m_archive.errorString()));
}

void TstChmArchive::normalizedPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "index.html"
                           << "/index.html";
    QTest::newRow("rooted") << "/index.html"
                            << "/index.html";
    QTest::newRow("dot") << "./images/a.png"
                         << "/images/a.png";
    QTest::newRow("dotdot") << "pages/../images/a.png"
                            << "/images/a.png";
    QTest::newRow("above root") << "../../a.html"
                                << "/a.html";
    QTest::newRow("backslash") << "images\\a.png"
                               << "/images/a.png";
    QTest::newRow("double slash") << "images//a.png"
                                  << "/images/a.png";
}

void TstChmArchive::normalizedPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(ChmArchive::normalizedPath(path), expected);
}

void TstChmArchive::parseSitemap_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QStringList>("expected");

    const QString a = QStringLiteral("<LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"A\">"
                                     "<param name=\"Local\" value=\"a.html\"></OBJECT>");
    const QString b = QStringLiteral("<LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"B\">"
                                     "<param name=\"Local\" value=\"b.html\"></OBJECT>");
    const QString c = QStringLiteral("<LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"C\">"
                                     "<param name=\"Local\" value=\"c.html#x\"></OBJECT>");

    QTest::newRow("flat") << QStringLiteral("<UL>%1%2</UL>").arg(a, b)
                          << QStringList{"0|A|a.html", "0|B|b.html"};
    QTest::newRow("nested") << QStringLiteral("<UL>%1<UL>%2%3</UL>%2</UL>").arg(a, b, c)
                            << QStringList{"0|A|a.html", "1|B|b.html", "1|C|c.html#x", "0|B|b.html"};
    QTest::newRow("two levels down") << QStringLiteral("<UL>%1<UL>%2<UL>%3</UL></UL></UL>").arg(a, b, c)
                                     << QStringList{"0|A|a.html", "1|B|b.html", "2|C|c.html#x"};
    QTest::newRow("unclosed lists") << QStringLiteral("<UL>%1<UL>%2").arg(a, b)
                                    << QStringList{"0|A|a.html", "1|B|b.html"};
    QTest::newRow("stray closing") << QStringLiteral("</UL><UL>%1</UL></UL>%2").arg(a, b)
                                   << QStringList{"0|A|a.html", "0|B|b.html"};
    QTest::newRow("lower case, single quotes, unquoted")
        << QStringLiteral("<ul><li><object type='text/sitemap'><param name='name' value='A'>"
                          "<param name=local value=a.html></object></ul>")
        << QStringList{"0|A|a.html"};
    QTest::newRow("heading without page")
        << QStringLiteral("<UL><LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"H\"></OBJECT>"
                          "<UL>%1</UL></UL>")
               .arg(a)
        << QStringList{"0|H|", "1|A|a.html"};
    QTest::newRow("site properties ignored")
        << QStringLiteral("<OBJECT type=\"text/site properties\"><param name=\"Name\" value=\"X\">"
                          "<param name=\"Local\" value=\"x.html\"></OBJECT><UL>%1</UL>")
               .arg(a)
        << QStringList{"0|A|a.html"};
    QTest::newRow("commented out entry")
        << QStringLiteral("<UL><!-- %1 -->%2</UL>").arg(a, b) << QStringList{"0|B|b.html"};
    QTest::newRow("merged entry keeps first pair")
        << QStringLiteral("<UL><LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"A\">"
                          "<param name=\"Local\" value=\"a.html\"><param name=\"Name\" value=\"Z\">"
                          "<param name=\"Local\" value=\"z.html\"></OBJECT></UL>")
        << QStringList{"0|A|a.html"};
    QTest::newRow("empty") << QString() << QStringList();
}

void TstChmArchive::parseSitemap()
{
    QFETCH(QString, html);
    QFETCH(QStringList, expected);
    QCOMPARE(flat(::parseSitemap(html)), expected);
}

void TstChmArchive::sitemapEntities()
{
    const auto topics =
        ::parseSitemap(QStringLiteral("<UL><LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" "
                                      "value=\"导出 &amp; 打印 &lt;1&gt; &#20013;&#x6587; &bogus;\">"
                                      "<param name=\"Local\" value=\"a&amp;b.html\"></OBJECT></UL>"));
    QCOMPARE(topics.size(), 1);
    QCOMPARE(topics[0].name, QStringLiteral("导出 & 打印 <1> 中文 &bogus;"));
    QCOMPARE(topics[0].local, QStringLiteral("a&b.html"));
}

void TstChmArchive::openFailures()
{
    ChmArchive archive;
    QVERIFY(!archive.open(QStringLiteral("/nonexistent/help.chm")));
    QVERIFY(archive.errorString().contains(QLatin1String("/nonexistent/help.chm")));
    QVERIFY(!archive.isOpen());
    QVERIFY(!archive.contains(QStringLiteral("index.html")));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile text(dir.filePath(QStringLiteral("help.chm")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write(QByteArray("this is not a help archive\n").repeated(100));
    text.close();
    QVERIFY(!archive.open(text.fileName()));
    QVERIFY(archive.contents().isEmpty());

    // Reopening after a failure and closing again leave nothing behind.
    QVERIFY(archive.open(m_chm));
    QVERIFY(archive.contains(QStringLiteral("index.html")));
    archive.close();
    QVERIFY(!archive.contains(QStringLiteral("index.html")));
    QVERIFY(archive.title().isEmpty());
}

void TstChmArchive::manualSettings()
{
    QCOMPARE(m_archive.language() & 0xFFFF, 0x0804u);
    QCOMPARE(m_archive.title(), QStringLiteral("TALVIK 52K 上位软件 使用说明"));
    QVERIFY(!m_archive.defaultTopic().isEmpty());
    QVERIFY(m_archive.contains(m_archive.defaultTopic()));
    QVERIFY(m_archive.contentsFile().endsWith(QLatin1String(".hhc"), Qt::CaseInsensitive));
}

// The names in the tree must survive the trip through the compiler and the
// code page conversion unchanged.
void TstChmArchive::contentsMatchSource()
{
    QFile source(m_sourceDir + QStringLiteral("/help.hhc"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QStringList expected = flat(::parseSitemap(QString::fromUtf8(source.readAll())));
    QVERIFY(expected.size() >= 5);
    QCOMPARE(flat(m_archive.contents()), expected);
}

void TstChmArchive::everyContentsPageResolves()
{
    QStringList lines = flat(m_archive.contents());
    QVERIFY(!lines.isEmpty());
    for (const QString &line : qAsConst(lines)) {
        const QString local = line.section(QLatin1Char('|'), 2);
        if (local.isEmpty())
            continue;
        bool found = false;
        const QByteArray page = m_archive.object(pathOf(local), &found);
        QVERIFY2(found, qPrintable(QStringLiteral("contents name %1, not in the archive").arg(local)));
        const QString html = m_archive.decodeText(page);
        QVERIFY2(html.contains(QLatin1String("<title>"), Qt::CaseInsensitive), qPrintable(local));
        QVERIFY2(!html.contains(QChar::ReplacementCharacter), qPrintable(local));
    }
}

void TstChmArchive::everyProjectFileIsInside()
{
    QFile project(m_sourceDir + QStringLiteral("/help.hhp"));
    QVERIFY(project.open(QIODevice::ReadOnly | QIODevice::Text));
    bool inFiles = false;
    int count = 0;
    while (!project.atEnd()) {
        const QString line = QString::fromUtf8(project.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inFiles = line.compare(QLatin1String("[FILES]"), Qt::CaseInsensitive) == 0;
        else if (inFiles && !line.isEmpty()) {
            ++count;
            bool found = false;
            const QByteArray bytes = m_archive.object(line, &found);
            QVERIFY2(found, qPrintable(line));
            QFile original(m_sourceDir + QLatin1Char('/') + line);
            QVERIFY2(original.open(QIODevice::ReadOnly), qPrintable(line));
            QVERIFY2(bytes == original.readAll(),
                     qPrintable(QStringLiteral("%1 differs from its source").arg(line)));
        }
    }
    QVERIFY(count > 0);
}

// Every href and src of every page leads to something inside the manual, and
// every anchor it names exists on the target page.
void TstChmArchive::everyLinkResolves()
{
    static const QRegularExpression link(QStringLiteral("\\b(?:href|src)\\s*=\\s*\"([^\"]*)\""),
                                         QRegularExpression::CaseInsensitiveOption);
    const QStringList files = m_archive.files();
    int pages = 0;
    int links = 0;
    for (const QString &file : files) {
        if (!file.endsWith(QLatin1String(".html"), Qt::CaseInsensitive))
            continue;
        ++pages;
        const QString html = m_archive.decodeText(m_archive.object(file));
        auto it = link.globalMatch(html);
        while (it.hasNext()) {
            const QString target = it.next().captured(1);
            if (QUrl(target).scheme().size() > 1 || target.startsWith(QLatin1Char('#')))
                continue;
            ++links;
            const QString dir = file.left(file.lastIndexOf(QLatin1Char('/')) + 1);
            const QString path = ChmArchive::normalizedPath(dir + pathOf(target));
            QVERIFY2(m_archive.contains(path),
                     qPrintable(QStringLiteral("%1 links to missing %2").arg(file, target)));
            const int hash = target.indexOf(QLatin1Char('#'));
            if (hash >= 0) {
                const QString anchor = target.mid(hash + 1);
                const QString page = m_archive.decodeText(m_archive.object(path));
                const QRegularExpression named(
                    QStringLiteral("\\b(?:name|id)\\s*=\\s*\"%1\"").arg(QRegularExpression::escape(anchor)));
                QVERIFY2(page.contains(named),
                         qPrintable(QStringLiteral("%1: no anchor %2").arg(file, target)));
            }
        }
    }
    QVERIFY(pages >= 5);
    QVERIFY(links > pages);
}

void TstChmArchive::objectLookup()
{
    bool found = true;
    QVERIFY(m_archive.object(QStringLiteral("no/such/page.html"), &found).isEmpty());
    QVERIFY(!found);
    // The help viewer matches names without regard to case; links written by
    // hand rely on that.
    const QByteArray lower = m_archive.object(QStringLiteral("index.html"), &found);
    QVERIFY(found);
    QCOMPARE(m_archive.object(QStringLiteral("/INDEX.HTML")), lower);
    QCOMPARE(m_archive.object(QStringLiteral("images/../index.html")), lower);
    QVERIFY(m_archive.files().contains(QStringLiteral("/index.html")));
    QVERIFY(!m_archive.files().contains(QStringLiteral("/#SYSTEM")));
}

void TstChmArchive::decodeText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QString text = QStringLiteral("<p>数据记录</p>");
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    QTest::newRow("utf-8, no charset") << text.toUtf8();
    QTest::newRow("gbk, no charset: the archive's language") << gbk->fromUnicode(text);
    QTest::newRow("gb2312 declared") << gbk->fromUnicode(
        QStringLiteral("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">") + text);
    QTest::newRow("utf-8 declared") << (QStringLiteral("<meta charset=\"utf-8\">") + text).toUtf8();
}

void TstChmArchive::decodeText()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(m_archive.decodeText(bytes).endsWith(QStringLiteral("<p>数据记录</p>")));
}

QTEST_GUILESS_MAIN(TstChmArchive)
#include "tst_chmarchive.moc"
