#pragma once

#include "widgets/help/chmarchive.h"
#include "ui_helpform.h"

#include <QWidget>

class QTreeWidgetItem;

/// The manual window: the table of contents on the left, the page on the
/// right, read from a compiled help file.
class HelpForm : public QWidget
{
    Q_OBJECT

public:
    explicit HelpForm(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~HelpForm() override;

    /// Opens the help file and shows its default topic. Returns false and
    /// keeps the window empty when the file cannot be read (see errorString()).
    bool openFile(const QString &path);
    QString errorString() const { return m_archive.errorString(); }

    const ChmArchive &archive() const { return m_archive; }
    HelpBrowser *browser() const { return ui.browser; }
    QTreeWidget *contentsTree() const { return ui.contentsTree; }

public slots:
    /// Shows a page of the archive, e.g. "start.html" or "port.html#linux".
    void showTopic(const QString &archivePath);
    void doBtnHome();

private slots:
    void doContentsItemClicked(QTreeWidgetItem *item);
    void doSourceChanged(const QUrl &url);

private:
    void fillContents(const QVector<ChmTopic> &topics, QTreeWidgetItem *parent);
    QTreeWidgetItem *findItem(const QString &archivePath) const;

    Ui::HelpForm ui;
    ChmArchive m_archive;
};
