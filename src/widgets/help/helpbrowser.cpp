#include "helpbrowser.h"

#include "widgets/help/chmarchive.h"

#include <QTextDocument>

HelpBrowser::HelpBrowser(QWidget *parent) : QTextBrowser(parent)
{
    setOpenExternalLinks(true);
}

void HelpBrowser::setArchive(const ChmArchive *archive)
{
    m_archive = archive;
}

QUrl HelpBrowser::topicUrl(const QString &archivePath)
{
    const int hash = archivePath.indexOf(QLatin1Char('#'));
    QUrl url;
    url.setPath(ChmArchive::normalizedPath(hash < 0 ? archivePath : archivePath.left(hash)));
    if (hash >= 0)
        url.setFragment(archivePath.mid(hash + 1));
    return url;
}

QVariant HelpBrowser::loadResource(int type, const QUrl &name)
{
    // Only the archive is read: a manual page must not pull files from the
    // disk or the network through an image or style-sheet reference.
    if (!m_archive || !m_archive->isOpen() || !name.scheme().isEmpty())
        return {};

    QUrl url = name;
    if (!url.path().startsWith(QLatin1Char('/')))
        url = source().resolved(name);

    bool found = false;
    const QByteArray bytes = m_archive->object(url.path(), &found);
    if (type == QTextDocument::HtmlResource) {
        if (!found)
            return tr("<html><body><h3>页面不存在</h3><p>帮助文件中没有“%1”。</p></body></html>")
                .arg(url.path().toHtmlEscaped());
        return m_archive->decodeText(bytes);
    }
    if (!found)
        return {};
    if (type == QTextDocument::StyleSheetResource)
        return m_archive->decodeText(bytes);
    return bytes;
}
