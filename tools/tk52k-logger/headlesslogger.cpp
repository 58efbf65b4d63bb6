#include "headlesslogger.h"

#include "loggerlog.h"
#include "metricsserver.h"
#include "systemdnotify.h"

#include "core/app/openfiles.h"
#include "core/meter/alarmwatch.h"
#include "core/meter/baseunit.h"
#include "core/meter/metersession.h"
#include "core/store/database.h"
#include "core/store/dbsettings.h"
#include "core/store/recordjournal.h"

#include <QSysInfo>

#include <cmath>
#include <limits>

namespace {
QString clock(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

double valueOf(const MeterReading &reading)
{
    if (!reading.overload)
        return reading.value;
    return reading.negative ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
}
} // namespace

QString LoggerTally::text() const
{
    QString line = QStringLiteral("taken %1").arg(taken);
    if (fromJournal > 0)
        line += QStringLiteral(" + %1 from the journal").arg(fromJournal);
    return line + QStringLiteral(" = written %1 + waiting %2 + quarantined %3 + not stored %4")
                      .arg(written)
                      .arg(waiting)
                      .arg(quarantined)
                      .arg(notStored);
}

HeadlessLogger::HeadlessLogger(const LoggerOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_session(new MeterSession(this)), m_db(new database(this)),
      m_notify(new SystemdNotify(this)), m_alarm(new AlarmWatch(this))
{
    // The limits were given for whatever the meter measures; a raised alarm
    // does not carry over into another function or unit.
    m_alarm->setLimitsForAll(options.alarm);
    connect(m_alarm, &AlarmWatch::eventOccurred, this, [this](const AlarmEvent &event) {
        LoggerLog::write(event.raised ? LoggerLog::Priority::Warning : LoggerLog::Priority::Info,
                         QStringLiteral("alarm ") + event.text());
        m_db->recordAlarm(event);
    });
    // --source, else TK52K_SOURCE (the store's own default), else HOST:PORT;
    // a TK52K_SOURCE set but empty counts as unset.
    if (!m_options.source.isEmpty())
        m_db->setSource(m_options.source);
    else if (qEnvironmentVariableIsEmpty("TK52K_SOURCE"))
        m_db->setSource(defaultSource(QSysInfo::machineHostName(), m_options.port));

    const DbSettings settings = DbSettings::fromEnvironment();
    m_serverName = QStringLiteral("%1 on %2:%3").arg(settings.databaseName, settings.host).arg(settings.port);

    m_session->setResuming(true);
    m_session->setSamplingMode(m_options.automatic, m_options.seconds);
    m_session->setPortName(m_options.port);
    connect(m_session, &MeterSession::readingTaken, this, &HeadlessLogger::onReading);
    connect(m_session, &MeterSession::readingToStore, this, [this](const MeterReading &r) {
        if (m_db->submit(r) != 1)
            LoggerLog::error(
                QStringLiteral("the store refused the reading of %1; it is lost").arg(clock(r.time)));
    });
    connect(m_session, &MeterSession::linkChanged, this, &HeadlessLogger::onLink);
    connect(m_session, &MeterSession::portError, this, [this](const QString &port, const QString &reason) {
        if (m_session->isRunning())
            LoggerLog::warning(QStringLiteral("%1 went away (%2); reopening it every %3 s")
                                   .arg(port, reason)
                                   .arg(MeterSession::kReopenIntervalMs / 1000));
    });
    connect(m_session, &MeterSession::portReopened, this,
            [](const QString &port) { LoggerLog::info(QStringLiteral("%1 is back").arg(port)); });

    m_statusTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_statusTimer, &QTimer::timeout, this, [this] {
        const QString line = statusLine();
        if (!m_options.quiet)
            LoggerLog::info(line);
        m_notify->status(line);
        QString error;
        if (m_metrics && !m_metrics->isListening() &&
            m_metrics->listen(m_options.metricsHost, m_options.metricsPort, &error))
            LoggerLog::info(QStringLiteral("metrics now on port %1").arg(m_options.metricsPort));
    });
    m_watchTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_watchTimer, &QTimer::timeout, this, &HeadlessLogger::watch);
}

HeadlessLogger::~HeadlessLogger()
{
    disconnect(m_session, nullptr, this, nullptr);
}

QString HeadlessLogger::defaultSource(const QString &host, const QString &port)
{
    return DbSettings::defaultMeterName(host, port);
}

int HeadlessLogger::start()
{
    if (m_db->openDatabase() != 1) {
        const QString problem = m_db->state().settingsProblem;
        LoggerLog::error(problem.isEmpty()
                             ? QStringLiteral("no PostgreSQL driver for Qt (QPSQL); install libqt5sql5-psql")
                             : QStringLiteral("unusable database settings: %1").arg(problem));
        return ExitDatabase;
    }
    // Nothing of this run is handed over yet: what the store holds is what
    // earlier runs left.
    const StoreState atOpen = m_db->state();
    m_fromJournal = atOpen.pending + atOpen.settled;
    m_quarantinedAtOpen = atOpen.quarantined;
    if (!m_session->start()) {
        LoggerLog::error(QStringLiteral("cannot open ") + m_session->lastError());
        return ExitPort;
    }
    m_startMs = QDateTime::currentMSecsSinceEpoch();
    const QString journal = RecordJournal::directory();
    const QString what =
        QStringLiteral("logging %1 as \"%2\", %3, into %4; journal in %5")
            .arg(m_options.port, m_db->source(),
                 m_options.automatic ? QStringLiteral("every frame")
                                     : QStringLiteral("one reading every %1 s").arg(m_options.seconds),
                 m_serverName, journal);
    LoggerLog::info(what);
    if (m_fromJournal > 0)
        LoggerLog::info(QStringLiteral("%1 readings of an earlier run wait in the journal; they go first")
                            .arg(m_fromJournal));
    if (!m_options.metricsHost.isEmpty()) {
        m_metrics = std::make_unique<MetricsServer>();
        updateMetrics(m_db->state());
        QString error;
        if (m_metrics->listen(m_options.metricsHost, m_options.metricsPort, &error))
            LoggerLog::info(QStringLiteral("metrics on http://%1:%2/metrics")
                                .arg(m_options.metricsHost.contains(QLatin1Char(':'))
                                         ? QLatin1Char('[') + m_options.metricsHost + QLatin1Char(']')
                                         : m_options.metricsHost)
                                .arg(m_options.metricsPort));
        else
            LoggerLog::error(
                QStringLiteral("no metrics: %1; logging goes on, another try every minute").arg(error));
    }
    m_notify->ready(what);
    m_statusTimer.start(kStatusPeriodMs);
    m_watchTimer.start(kWatchPeriodMs);
    return ExitClean;
}

int HeadlessLogger::finish()
{
    m_finishing = true;
    m_statusTimer.stop();
    m_watchTimer.stop();
    const bool ran = m_session->isRunning();
    if (ran)
        m_notify->stopping(QStringLiteral("stopping: writing what waits"));
    m_session->stop();
    // The journal is tried once more; what it could not take is counted.
    const database::Ending end = m_db->shutdown();
    m_metrics.reset();
    if (ran)
        LoggerLog::info(QStringLiteral("stopped: ") + tally().text());
    if (end.inJournal > 0)
        LoggerLog::info(
            QStringLiteral("%1 readings wait in the journal for the next start").arg(end.inJournal));
    if (end.notKept > 0) {
        LoggerLog::error(
            QStringLiteral("%1 readings could not be kept safe on the disk (the journal in %2 could not "
                           "be written) and are lost")
                .arg(end.notKept)
                .arg(RecordJournal::directory()));
        return ExitNotDurable;
    }
    return ExitClean;
}

LoggerTally HeadlessLogger::tally() const
{
    return tally(m_db->state());
}

LoggerTally HeadlessLogger::tally(const StoreState &c) const
{
    LoggerTally t;
    t.taken = m_taken;
    t.fromJournal = m_fromJournal;
    t.quarantined = c.quarantined - m_quarantinedAtOpen;
    t.written = c.settled - t.quarantined;
    t.waiting = c.pending;
    t.notStored = m_notStored;
    return t;
}

QString HeadlessLogger::linkText() const
{
    if (m_session->isLinkUp())
        return QStringLiteral("link up");
    if (m_session->isWaitingForPort())
        return QStringLiteral("port away since %1").arg(clock(m_session->linkLostSince()));
    if (m_linkWasUp)
        return QStringLiteral("no data since %1").arg(clock(m_session->linkLostSince()));
    return QStringLiteral("no data yet");
}

QString HeadlessLogger::statusLine() const
{
    QString server;
    if (m_db->isConnected())
        server = QStringLiteral("database connected");
    else if (m_serverDownSince.isValid())
        server = QStringLiteral("database unreachable since %1").arg(clock(m_serverDownSince));
    else
        server = QStringLiteral("database not reached yet");
    return tally().text() + QStringLiteral("; ") + linkText() + QStringLiteral("; ") + server;
}

void HeadlessLogger::onReading(const MeterReading &reading, bool newRange)
{
    ++m_taken;
    if (newRange)
        ++m_notStored;
    if (m_metrics)
        m_metrics->noteReading(reading.time.toMSecsSinceEpoch());
    if (!m_options.alarm.isEmpty())
        m_alarm->feed(reading);
}

void HeadlessLogger::onLink(bool up)
{
    if (!m_session->isRunning())
        return;
    if (up) {
        LoggerLog::info(m_linkWasUp ? QStringLiteral("the meter sends again")
                                    : QStringLiteral("the meter sends"));
        m_linkWasUp = true;
    } else {
        LoggerLog::warning(
            QStringLiteral("no data from the meter since %1").arg(clock(m_session->linkLostSince())));
    }
}

void HeadlessLogger::watch()
{
    if (m_finishing)
        return;
    const StoreState state = m_db->state();
    const bool up = state.connected;
    if (up && m_server != ServerState::Up) {
        if (m_server == ServerState::Down)
            LoggerLog::info(QStringLiteral("database %1 is back (unreachable since %2); %3 readings waiting")
                                .arg(m_serverName, clock(m_serverDownSince))
                                .arg(state.pending));
        else
            LoggerLog::info(QStringLiteral("database %1 connected").arg(m_serverName));
        m_server = ServerState::Up;
        m_serverDownSince = QDateTime();
        m_outageReasons.clear();
    } else if (!up) {
        // Before its first try the writer has no reason to give. A server
        // that is back while the logger still cannot reach it (out of
        // descriptors, say) is told with the new reason, once.
        const QString reason = state.serverError.isEmpty() ? QString() : OpenFiles::named(state.serverError);
        if (!reason.isEmpty() && !m_outageReasons.contains(reason)) {
            LoggerLog::warning(QStringLiteral("%1 %2: %3; readings wait in the journal")
                                   .arg(m_server == ServerState::Up ? QStringLiteral("lost the database")
                                        : m_server == ServerState::Down
                                            ? QStringLiteral("still cannot reach the database")
                                            : QStringLiteral("cannot reach the database"),
                                        m_serverName, reason));
            if (m_server != ServerState::Down)
                m_serverDownSince = QDateTime::currentDateTime();
            m_server = ServerState::Down;
            m_outageReasons << reason;
        }
    }

    const bool safe = state.journalSafe;
    if (safe != m_journalSafe) {
        if (safe) {
            LoggerLog::info(QStringLiteral("readings are safe on the disk again"));
        } else {
            const QString cause = OpenFiles::named(QString());
            LoggerLog::error(QStringLiteral("readings are not safe on the disk: the journal in %1 cannot be "
                                            "written%2; they wait in memory only")
                                 .arg(RecordJournal::directory(), cause.isEmpty() ? cause : ": " + cause));
        }
        m_journalSafe = safe;
    }

    if (m_metrics)
        updateMetrics(state);
}

void HeadlessLogger::updateMetrics(const StoreState &state)
{
    const LoggerTally t = tally(state);
    MetricsSnapshot s;
    s.source = m_db->source();
    s.port = m_options.port;
    s.startMs = m_startMs;
    s.taken = t.taken;
    s.written = t.written;
    s.quarantined = t.quarantined;
    s.notStored = t.notStored;
    s.waiting = int(t.waiting);
    s.journalBytes = state.journalBytes;
    s.linkUp = m_session->isLinkUp();
    s.databaseUp = state.connected;
    s.alarmActive = m_alarm->isRaised();
    const MeterReading &reading = m_session->currentReading();
    if (reading.rangeIndex >= 0) {
        const BaseUnit base = baseUnitOf(reading.unitStr);
        s.function = reading.funcStr;
        s.unit = base.unit.trimmed();
        s.value = reading.overload ? valueOf(reading) : base.toBase(reading.value);
        s.lastReadingMs = reading.time.toMSecsSinceEpoch();
    }
    m_metrics->update(s);
}
