#pragma once

#include <QTextBrowser>

class ChmArchive;

/// A text browser whose pages, images and style sheets come from a compiled
/// help archive. Links inside the manual are plain paths ("/start.html");
/// links with a scheme (http, mailto) leave the manual and go to the desktop.
class HelpBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    explicit HelpBrowser(QWidget *parent = nullptr);

    /// The archive to read from; it must outlive the browser or be replaced first.
    void setArchive(const ChmArchive *archive);

    /// The address the browser uses for a page of the archive.
    static QUrl topicUrl(const QString &archivePath);

    QVariant loadResource(int type, const QUrl &name) override;

private:
    const ChmArchive *m_archive = nullptr;
};
