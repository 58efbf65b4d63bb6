#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct chmFile;
class QTextCodec;

/// One entry of a compiled help file's table of contents.
struct ChmTopic
{
    QString name;  ///< the text shown in the contents tree
    QString local; ///< the page inside the archive, as written in the contents file (may be empty)
    QVector<ChmTopic> children;
};

/// Read-only access to a compiled HTML help archive (.chm): its pages and
/// images, the project settings compiled into it (title, default topic,
/// contents file, language) and its table of contents.
///
/// Paths inside the archive are matched without regard to case, like the
/// system's own help viewer does; a leading "/" is optional and "." and ".."
/// segments are resolved.
class ChmArchive
{
public:
    ChmArchive();
    ~ChmArchive();
    ChmArchive(const ChmArchive &) = delete;
    ChmArchive &operator=(const ChmArchive &) = delete;

    /// Opens \a fileName, closing any archive opened before. Returns false and
    /// sets errorString() when the file is missing or is not a help archive.
    bool open(const QString &fileName);
    void close();
    bool isOpen() const { return m_file != nullptr; }
    QString fileName() const { return m_fileName; }
    QString errorString() const { return m_error; }

    /// True when the archive holds an object at \a path.
    bool contains(const QString &path) const;
    /// The bytes of the object at \a path; empty and *found = false when there
    /// is none (an existing empty object gives *found = true).
    QByteArray object(const QString &path, bool *found = nullptr) const;
    /// The paths of every file stored in the archive (folders and the
    /// compiler's own bookkeeping objects left out), each starting with "/".
    QStringList files() const;

    /// The settings the help compiler stored from the project file.
    QString title() const { return m_title; }
    QString defaultTopic() const { return m_defaultTopic; }
    QString contentsFile() const { return m_contentsFile; }
    quint32 language() const { return m_language; }

    /// The codec of the archive's language, used for texts that carry no
    /// charset of their own (the contents file, the title). Never null.
    QTextCodec *languageCodec() const;
    /// Decodes a page or the contents file: its own charset declaration wins,
    /// then UTF-8 when the bytes are valid UTF-8, then the language's codec.
    QString decodeText(const QByteArray &bytes) const;

    /// The parsed table of contents; empty when the archive has none.
    QVector<ChmTopic> contents() const;

    /// "/a/b.html" for "a/./b.html", "/A/../a/b.html", "/a/b.html" and the like.
    static QString normalizedPath(const QString &path);

private:
    void readSystemFile();

    chmFile *m_file = nullptr;
    QString m_copy; // what chmlib reads on Windows
    QString m_fileName;
    QString m_error;
    QString m_title;
    QString m_defaultTopic;
    QString m_contentsFile;
    quint32 m_language = 0;
};

/// Parses the sitemap HTML of a contents file (nested <UL>/<LI> lists of
/// <OBJECT type="text/sitemap"> entries with "Name" and "Local" parameters)
/// into a tree. Tolerates missing closing tags, comments and stray markup.
QVector<ChmTopic> parseSitemap(const QString &html);
