#include "headlesslogger.h"

#include "core/meter/alarmwatch.h"
#include "core/meter/metersession.h"
#include "core/store/database.h"
#include "core/store/dbsettings.h"

#include <QDateTime>
#include <QSysInfo>

#include <cstdio>

namespace {
void say(const QString &line)
{
    std::fprintf(stderr, "tk52k-logger: %s\n", qPrintable(line));
    std::fflush(stderr);
}

QString clock(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}
} // namespace

HeadlessLogger::HeadlessLogger(const LoggerOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_session(new MeterSession(this)), m_db(new database(this)),
      m_alarm(new AlarmWatch(this))
{
    // The limits were given for whatever the meter measures; a raised alarm
    // does not carry over into another function or unit.
    m_alarm->setLimitsForAll(options.alarm);
    connect(m_alarm, &AlarmWatch::eventOccurred, this, [this](const AlarmEvent &event) {
        say(QStringLiteral("alarm %1").arg(event.text()));
        m_db->recordAlarm(event);
    });
    // --source, else TK52K_SOURCE (the store's own default), else HOST:PORT;
    // a TK52K_SOURCE set but empty counts as unset.
    if (!m_options.source.isEmpty())
        m_db->setSource(m_options.source);
    else if (qEnvironmentVariableIsEmpty("TK52K_SOURCE"))
        m_db->setSource(defaultSource(QSysInfo::machineHostName(), m_options.port));

    m_session->setResuming(true);
    m_session->setSamplingMode(m_options.automatic, m_options.seconds);
    m_session->setPortName(m_options.port);
    connect(m_session, &MeterSession::readingTaken, this, [this](const MeterReading &r) { onReading(r); });
    connect(m_session, &MeterSession::readingToStore, this, [this](const MeterReading &r) {
        if (m_db->submit(r) == 1)
            ++m_handedOver;
    });
    connect(m_session, &MeterSession::linkChanged, this, &HeadlessLogger::onLink);
    connect(m_session, &MeterSession::portError, this, [this](const QString &port, const QString &reason) {
        if (m_session->isRunning())
            say(QStringLiteral("%1 went away (%2); reopening it every %3 s")
                    .arg(port, reason)
                    .arg(MeterSession::kReopenIntervalMs / 1000));
    });
    connect(m_session, &MeterSession::portReopened, this,
            [](const QString &port) { say(QStringLiteral("%1 is back").arg(port)); });

    m_statusTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_statusTimer, &QTimer::timeout, this, [this] { say(statusLine()); });
}

HeadlessLogger::~HeadlessLogger()
{
    disconnect(m_session, nullptr, this, nullptr);
}

QString HeadlessLogger::defaultSource(const QString &host, const QString &port)
{
    const QString dev = QStringLiteral("/dev/");
    return host + QLatin1Char(':') + (port.startsWith(dev) ? port.mid(dev.size()) : port);
}

int HeadlessLogger::start()
{
    if (m_db->openDatabase() != 1) {
        say(m_db->statusText());
        return ExitDatabase;
    }
    m_pendingAtOpen = m_db->pendingCount();
    m_rejectedAtOpen = m_db->rejectedCount();
    if (!m_session->start()) {
        say(m_session->lastError());
        return ExitPort;
    }
    say(QStringLiteral("logging %1 as \"%2\", %3")
            .arg(m_options.port, m_db->source(),
                 m_options.automatic ? QStringLiteral("every frame")
                                     : QStringLiteral("one reading every %1 s").arg(m_options.seconds)));
    if (!m_options.quiet)
        m_statusTimer.start(kStatusPeriodMs);
    return ExitClean;
}

int HeadlessLogger::finish()
{
    m_statusTimer.stop();
    const bool ran = m_session->isRunning();
    m_session->stop();
    // The journal is tried once more; what it could not take is counted.
    const database::Ending end = m_db->shutdown();
    if (ran)
        say(statusLine());
    if (end.inJournal > 0)
        say(QStringLiteral("%1 readings wait in the journal for the next start").arg(end.inJournal));
    if (end.notKept > 0) {
        say(QStringLiteral("%1 readings could not be kept safe on the disk: %2")
                .arg(end.notKept)
                .arg(StoreStatus::statusLine(m_db->state())));
        return ExitNotDurable;
    }
    return ExitClean;
}

QString HeadlessLogger::statusLine() const
{
    const int pending = m_db->pendingCount();
    const qint64 written =
        m_handedOver + m_pendingAtOpen - pending - (m_db->rejectedCount() - m_rejectedAtOpen);
    QString link;
    if (m_session->isLinkUp())
        link = QStringLiteral("link up");
    else if (m_session->isWaitingForPort())
        link = QStringLiteral("port away since %1").arg(clock(m_session->linkLostSince()));
    else if (!m_session->linkLostSince().isNull())
        link = QStringLiteral("no data since %1").arg(clock(m_session->linkLostSince()));
    else
        link = QStringLiteral("link down");
    return QStringLiteral("taken %1, written %2, waiting %3, %4; %5")
        .arg(m_taken)
        .arg(qMax<qint64>(0, written))
        .arg(pending)
        .arg(link, m_db->statusText());
}

void HeadlessLogger::onReading(const MeterReading &reading)
{
    ++m_taken;
    if (!m_options.alarm.isEmpty())
        m_alarm->feed(reading);
}

void HeadlessLogger::onLink(bool up)
{
    if (!m_session->isRunning())
        return;
    if (up)
        say(QStringLiteral("the meter sends again"));
    else
        say(QStringLiteral("no data from the meter since %1").arg(clock(m_session->linkLostSince())));
}
