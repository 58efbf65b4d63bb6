#include "chmarchive.h"

#include <chm_lib.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTextCodec>

namespace {

// A corrupt directory entry can claim any length; nothing in a manual comes
// near this, so anything larger is treated as damage rather than allocated.
constexpr LONGINT64 kMaxObjectSize = 64 * 1024 * 1024;

// Codes of the records in the compiler's "/#SYSTEM" object.
enum SystemRecord : quint16 {
    ContentsFileRecord = 0,
    DefaultTopicRecord = 2,
    TitleRecord = 3,
    LanguageRecord = 4,
};

QByteArray cString(const QByteArray &record)
{
    const int end = record.indexOf('\0');
    return end < 0 ? record : record.left(end);
}

quint16 le16(const uchar *p)
{
    return static_cast<quint16>(p[0] | (p[1] << 8));
}

quint32 le32(const uchar *p)
{
    return static_cast<quint32>(p[0]) | (static_cast<quint32>(p[1]) << 8) |
           (static_cast<quint32>(p[2]) << 16) | (static_cast<quint32>(p[3]) << 24);
}

bool isValidUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

int enumerateFile(chmFile *, chmUnitInfo *ui, void *context)
{
    auto *list = static_cast<QStringList *>(context);
    const QString path = QString::fromUtf8(ui->path);
    // Folders end with "/"; names starting with "#" or "$" are the compiler's
    // indexes and system records, not files of the manual.
    const QString base = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (!path.endsWith(QLatin1Char('/')) && !base.startsWith(QLatin1Char('#')) &&
        !base.startsWith(QLatin1Char('$')))
        list->append(path);
    return CHM_ENUMERATOR_CONTINUE;
}

QString decodeEntities(const QString &text)
{
    if (!text.contains(QLatin1Char('&')))
        return text;
    static const QRegularExpression entity(QStringLiteral("&(#[0-9]+|#[xX][0-9a-fA-F]+|[a-zA-Z]+);"));
    QString out;
    int last = 0;
    auto it = entity.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += text.midRef(last, m.capturedStart() - last);
        const QString name = m.captured(1);
        QString replacement;
        if (name.startsWith(QLatin1Char('#'))) {
            bool ok = false;
            const uint code =
                (name.size() > 1 && (name[1] == QLatin1Char('x') || name[1] == QLatin1Char('X')))
                    ? name.midRef(2).toUInt(&ok, 16)
                    : name.midRef(1).toUInt(&ok, 10);
            if (ok && code > 0 && code <= 0x10FFFF)
                replacement = QString::fromUcs4(&code, 1);
        } else if (name == QLatin1String("amp")) {
            replacement = QStringLiteral("&");
        } else if (name == QLatin1String("lt")) {
            replacement = QStringLiteral("<");
        } else if (name == QLatin1String("gt")) {
            replacement = QStringLiteral(">");
        } else if (name == QLatin1String("quot")) {
            replacement = QStringLiteral("\"");
        } else if (name == QLatin1String("apos")) {
            replacement = QStringLiteral("'");
        } else if (name == QLatin1String("nbsp")) {
            replacement = QString(QChar(0x00A0));
        }
        out += replacement.isNull() ? m.captured(0) : replacement;
        last = m.capturedEnd();
    }
    out += text.midRef(last);
    return out;
}

} // namespace

ChmArchive::ChmArchive() = default;

ChmArchive::~ChmArchive()
{
    close();
}

bool ChmArchive::open(const QString &fileName)
{
    close();
    m_fileName = fileName;
    // chmlib reports a missing file and a damaged one alike; tell them apart
    // for the message the user gets.
    if (!QFileInfo(fileName).isFile()) {
        m_error = QStringLiteral("file not found: %1").arg(fileName);
        return false;
    }
    QString readFrom = fileName;
#ifdef Q_OS_WIN
    // chmlib opens its file on Windows for itself alone: while it held the
    // manual, no other reader (a second help window or instance, the
    // system's viewer, a copy) could open it. It reads a copy of its own.
    {
        QFile source(fileName);
        QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/tk52k-help-XXXXXX.chm"));
        copy.setAutoRemove(false);
        if (!source.open(QIODevice::ReadOnly) || !copy.open()) {
            m_error = QStringLiteral("cannot read %1: %2")
                          .arg(fileName, source.isOpen() ? copy.errorString() : source.errorString());
            return false;
        }
        m_copy = copy.fileName();
        if (copy.write(source.readAll()) != source.size() || !copy.flush()) {
            m_error = QStringLiteral("cannot read %1: %2").arg(fileName, copy.errorString());
            close();
            return false;
        }
        readFrom = QDir::toNativeSeparators(m_copy);
    } // the copy's own handle closed: chmlib wants the file to itself
#endif
    m_file = chm_open(QFile::encodeName(readFrom).constData());
    if (!m_file) {
        m_error = QStringLiteral("not a compiled help file: %1").arg(fileName);
        close();
        return false;
    }
    m_error.clear();
    readSystemFile();
    return true;
}

void ChmArchive::close()
{
    if (m_file)
        chm_close(m_file);
    m_file = nullptr;
    if (!m_copy.isEmpty())
        QFile::remove(m_copy);
    m_copy.clear();
    m_title.clear();
    m_defaultTopic.clear();
    m_contentsFile.clear();
    m_language = 0;
}

QString ChmArchive::normalizedPath(const QString &path)
{
    QString p = path;
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!p.startsWith(QLatin1Char('/')))
        p.prepend(QLatin1Char('/'));
    p = QDir::cleanPath(p);
    // cleanPath keeps a ".." that climbs above the root; nothing lies there.
    while (p.startsWith(QLatin1String("/..")))
        p = p.mid(3).isEmpty() ? QStringLiteral("/") : p.mid(3);
    return p;
}

bool ChmArchive::contains(const QString &path) const
{
    if (!m_file)
        return false;
    chmUnitInfo ui;
    return chm_resolve_object(m_file, normalizedPath(path).toUtf8().constData(), &ui) == CHM_RESOLVE_SUCCESS;
}

QByteArray ChmArchive::object(const QString &path, bool *found) const
{
    if (found)
        *found = false;
    if (!m_file)
        return {};
    chmUnitInfo ui;
    if (chm_resolve_object(m_file, normalizedPath(path).toUtf8().constData(), &ui) != CHM_RESOLVE_SUCCESS)
        return {};
    if (ui.length > static_cast<LONGUINT64>(kMaxObjectSize))
        return {};
    QByteArray data(static_cast<int>(ui.length), Qt::Uninitialized);
    LONGUINT64 done = 0;
    while (done < ui.length) {
        const LONGINT64 got = chm_retrieve_object(m_file, &ui, reinterpret_cast<uchar *>(data.data()) + done,
                                                  done, static_cast<LONGINT64>(ui.length - done));
        if (got <= 0)
            return {};
        done += static_cast<LONGUINT64>(got);
    }
    if (found)
        *found = true;
    return data;
}

QStringList ChmArchive::files() const
{
    QStringList list;
    if (m_file)
        chm_enumerate(m_file, CHM_ENUMERATE_NORMAL, enumerateFile, &list);
    return list;
}

void ChmArchive::readSystemFile()
{
    const QByteArray system = object(QStringLiteral("/#SYSTEM"));
    // A version word, then records of (code, length, data).
    int pos = 4;
    QByteArray contentsFile;
    QByteArray defaultTopic;
    QByteArray title;
    while (pos + 4 <= system.size()) {
        const auto *p = reinterpret_cast<const uchar *>(system.constData()) + pos;
        const quint16 code = le16(p);
        const int length = le16(p + 2);
        if (pos + 4 + length > system.size())
            break;
        const QByteArray data = system.mid(pos + 4, length);
        switch (code) {
        case ContentsFileRecord:
            contentsFile = cString(data);
            break;
        case DefaultTopicRecord:
            defaultTopic = cString(data);
            break;
        case TitleRecord:
            title = cString(data);
            break;
        case LanguageRecord:
            if (length >= 4)
                m_language = le32(reinterpret_cast<const uchar *>(data.constData()));
            break;
        default:
            break;
        }
        pos += 4 + length;
    }
    // These are stored in the language's code page; decode them once that is known.
    auto decode = [this](const QByteArray &bytes) {
        return isValidUtf8(bytes) ? QString::fromUtf8(bytes) : languageCodec()->toUnicode(bytes);
    };
    m_contentsFile = decode(contentsFile);
    m_defaultTopic = decode(defaultTopic);
    m_title = decode(title);

    if (m_contentsFile.isEmpty()) {
        const QStringList all = files();
        for (const QString &f : all) {
            if (f.endsWith(QLatin1String(".hhc"), Qt::CaseInsensitive)) {
                m_contentsFile = f;
                break;
            }
        }
    }
}

QTextCodec *ChmArchive::languageCodec() const
{
    QByteArray name = "Windows-1252";
    switch (m_language & 0xFFFF) {
    case 0x0804: // Chinese (PRC)
    case 0x1004: // Chinese (Singapore)
        name = "GBK";
        break;
    case 0x0404: // Chinese (Taiwan)
    case 0x0C04: // Chinese (Hong Kong)
    case 0x1404: // Chinese (Macao)
        name = "Big5";
        break;
    case 0x0411:
        name = "Shift_JIS";
        break;
    case 0x0412:
        name = "EUC-KR";
        break;
    case 0x0419:
        name = "Windows-1251";
        break;
    default:
        break;
    }
    QTextCodec *codec = QTextCodec::codecForName(name);
    return codec ? codec : QTextCodec::codecForName("ISO-8859-1");
}

QString ChmArchive::decodeText(const QByteArray &bytes) const
{
    if (QTextCodec *declared = QTextCodec::codecForHtml(bytes, nullptr))
        return declared->toUnicode(bytes);
    if (isValidUtf8(bytes))
        return QString::fromUtf8(bytes);
    return languageCodec()->toUnicode(bytes);
}

QVector<ChmTopic> ChmArchive::contents() const
{
    if (m_contentsFile.isEmpty())
        return {};
    bool found = false;
    const QByteArray bytes = object(m_contentsFile, &found);
    if (!found)
        return {};
    return parseSitemap(decodeText(bytes));
}

QVector<ChmTopic> parseSitemap(const QString &html)
{
    static const QRegularExpression comment(QStringLiteral("<!--.*?-->"),
                                            QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression tag(QStringLiteral("<\\s*(/?)\\s*([A-Za-z]+)([^>]*)>"));
    static const QRegularExpression attribute(
        QStringLiteral("([A-Za-z_:-]+)\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)'|([^\\s>]+))"));

    QString text = html;
    text.remove(comment);

    // Lists still open, innermost last; the bottom one is the result. A
    // closed list becomes the children of the entry written just before it.
    QVector<QVector<ChmTopic>> lists(1);
    bool inSitemapObject = false;
    ChmTopic pending;

    auto closeList = [&lists]() {
        QVector<ChmTopic> done = lists.takeLast();
        QVector<ChmTopic> &parent = lists.last();
        if (!parent.isEmpty())
            parent.last().children += done;
        else
            parent += done;
    };

    auto it = tag.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const bool closing = !m.capturedRef(1).isEmpty();
        const QString name = m.captured(2).toLower();
        if (name == QLatin1String("ul")) {
            if (!closing)
                lists.append(QVector<ChmTopic>());
            else if (lists.size() > 1)
                closeList();
        } else if (name == QLatin1String("object")) {
            if (!closing) {
                QString type;
                auto attrs = attribute.globalMatch(m.captured(3));
                while (attrs.hasNext()) {
                    const QRegularExpressionMatch a = attrs.next();
                    if (a.captured(1).compare(QLatin1String("type"), Qt::CaseInsensitive) == 0)
                        type = a.captured(2) + a.captured(3) + a.captured(4);
                }
                inSitemapObject = type.compare(QLatin1String("text/sitemap"), Qt::CaseInsensitive) == 0;
                pending = ChmTopic();
            } else if (inSitemapObject) {
                inSitemapObject = false;
                lists.last().append(pending);
            }
        } else if (name == QLatin1String("param") && inSitemapObject) {
            QString paramName;
            QString value;
            auto attrs = attribute.globalMatch(m.captured(3));
            while (attrs.hasNext()) {
                const QRegularExpressionMatch a = attrs.next();
                const QString key = a.captured(1).toLower();
                const QString v = a.captured(2) + a.captured(3) + a.captured(4);
                if (key == QLatin1String("name"))
                    paramName = v.toLower();
                else if (key == QLatin1String("value"))
                    value = decodeEntities(v);
            }
            // Merged entries repeat Name/Local; the first pair is the one shown.
            if (paramName == QLatin1String("name") && pending.name.isEmpty())
                pending.name = value;
            else if (paramName == QLatin1String("local") && pending.local.isEmpty())
                pending.local = value;
        }
    }
    while (lists.size() > 1)
        closeList();
    return lists.first();
}
