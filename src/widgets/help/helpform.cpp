#include "helpform.h"

#include <QFileInfo>
#include <QTreeWidgetItem>

namespace {
constexpr int kPathRole = Qt::UserRole;

// Pages are matched without their anchor and without regard to case, the way
// the archive itself resolves them.
QString pageKey(const QString &archivePath)
{
    const int hash = archivePath.indexOf(QLatin1Char('#'));
    return ChmArchive::normalizedPath(hash < 0 ? archivePath : archivePath.left(hash)).toLower();
}
} // namespace

HelpForm::HelpForm(QWidget *parent, Qt::WindowFlags flags) : QWidget(parent, flags)
{
    ui.setupUi(this);
    ui.splitter->setStretchFactor(0, 0);
    ui.splitter->setStretchFactor(1, 1);
    ui.splitter->setSizes({260, 700});
    ui.browser->setArchive(&m_archive);
    ui.backButton->setEnabled(false);
    ui.forwardButton->setEnabled(false);

    connect(ui.backButton, &QToolButton::clicked, ui.browser, &QTextBrowser::backward);
    connect(ui.forwardButton, &QToolButton::clicked, ui.browser, &QTextBrowser::forward);
    connect(ui.homeButton, &QToolButton::clicked, this, &HelpForm::doBtnHome);
    connect(ui.browser, &QTextBrowser::backwardAvailable, ui.backButton, &QToolButton::setEnabled);
    connect(ui.browser, &QTextBrowser::forwardAvailable, ui.forwardButton, &QToolButton::setEnabled);
    connect(ui.browser, &QTextBrowser::sourceChanged, this, &HelpForm::doSourceChanged);
    connect(ui.contentsTree, &QTreeWidget::itemClicked, this, &HelpForm::doContentsItemClicked);
    connect(ui.contentsTree, &QTreeWidget::itemActivated, this, &HelpForm::doContentsItemClicked);
}

HelpForm::~HelpForm()
{
    // The browser may still ask for resources while it is torn down.
    ui.browser->setArchive(nullptr);
}

bool HelpForm::openFile(const QString &path)
{
    ui.contentsTree->clear();
    ui.browser->clear();
    ui.browser->clearHistory();
    if (!m_archive.open(path))
        return false;

    setWindowTitle(m_archive.title().isEmpty() ? tr("帮助") : m_archive.title());
    fillContents(m_archive.contents(), nullptr);
    ui.contentsTree->expandToDepth(0);
    doBtnHome();
    return true;
}

void HelpForm::showTopic(const QString &archivePath)
{
    ui.browser->setSource(HelpBrowser::topicUrl(archivePath));
}

void HelpForm::doBtnHome()
{
    QString home = m_archive.defaultTopic();
    if (home.isEmpty() && ui.contentsTree->topLevelItemCount() > 0)
        home = ui.contentsTree->topLevelItem(0)->data(0, kPathRole).toString();
    if (!home.isEmpty())
        showTopic(home);
}

void HelpForm::fillContents(const QVector<ChmTopic> &topics, QTreeWidgetItem *parent)
{
    for (const ChmTopic &topic : topics) {
        auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(ui.contentsTree);
        item->setText(0, topic.name);
        item->setData(0, kPathRole, topic.local);
        item->setToolTip(0, topic.name);
        fillContents(topic.children, item);
    }
}

QTreeWidgetItem *HelpForm::findItem(const QString &archivePath) const
{
    const QString key = pageKey(archivePath);
    for (QTreeWidgetItemIterator it(ui.contentsTree); *it; ++it) {
        const QString local = (*it)->data(0, kPathRole).toString();
        if (!local.isEmpty() && pageKey(local) == key)
            return *it;
    }
    return nullptr;
}

void HelpForm::doContentsItemClicked(QTreeWidgetItem *item)
{
    ui.contentsTree->setCurrentItem(item);
    const QString local = item->data(0, kPathRole).toString();
    if (local.isEmpty())
        item->setExpanded(!item->isExpanded());
    else
        showTopic(local);
}

void HelpForm::doSourceChanged(const QUrl &url)
{
    // Keep the contents tree on the page shown, whichever way it was reached.
    // Several entries may lead into one page (its sections); the one chosen
    // in the tree stays chosen.
    const QTreeWidgetItem *current = ui.contentsTree->currentItem();
    if (current && pageKey(current->data(0, kPathRole).toString()) == pageKey(url.path()))
        return;
    if (QTreeWidgetItem *item = findItem(url.path())) {
        const QSignalBlocker block(ui.contentsTree);
        ui.contentsTree->setCurrentItem(item);
        ui.contentsTree->scrollToItem(item);
    }
}
