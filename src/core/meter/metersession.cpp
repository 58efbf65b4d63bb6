#include "metersession.h"

#include "core/app/openfiles.h"
#include "core/meter/extremes.h"
#include "core/meter/frameextractor.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <limits>

#ifdef Q_OS_LINUX
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>
#endif

namespace {
// The line's pace: 2400 baud, 10 bits a byte with start and stop bit.
constexpr qint64 kByteTimeNumerator = 10 * 1000; // ms for 2400 bytes
constexpr qint64 kBaud = 2400;
constexpr qint64 kNoReading = std::numeric_limits<qint64>::min();

#ifdef Q_OS_LINUX
// The device a port name stands for, as the serial port resolves it: a path
// as it is, a bare name under /dev.
QString deviceOf(const QString &portName)
{
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./")) ||
        portName.startsWith(QLatin1String("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
}

// The programs that have `device` open, as "name (pid N)": those whose
// descriptors this user may look at (all of them for root).
QStringList deviceHolders(const QString &device)
{
    const QByteArray target = QFile::encodeName(QFileInfo(device).canonicalFilePath());
    QStringList holders;
    if (target.isEmpty())
        return holders;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    char link[4096];
    for (const QString &pid : pids) {
        if (!pid.at(0).isDigit())
            continue;
        const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
        for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
            const ssize_t n =
                ::readlink(QFile::encodeName(fds + QLatin1Char('/') + fd).constData(), link, sizeof link);
            if (n != target.size() || std::memcmp(link, target.constData(), size_t(n)) != 0)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString name =
                comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
            holders << QStringLiteral("%1 (pid %2)").arg(name, pid);
            break;
        }
    }
    return holders;
}

// What open(2) and the file's rights say of `device`. The device is opened
// the way the serial port opens it, and closed at once.
MeterSession::DeviceAccess deviceAccess(const QString &device)
{
    MeterSession::DeviceAccess a;
    a.device = device;
    const QByteArray path = QFile::encodeName(device);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    else
        a.openErrno = errno;
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0)
        return a;
    a.mode = st.st_mode & 07777;
    if (const passwd *pw = ::getpwuid(st.st_uid))
        a.owner = QString::fromLocal8Bit(pw->pw_name);
    else
        a.owner = QString::number(st.st_uid);
    if (const group *gr = ::getgrgid(st.st_gid))
        a.group = QString::fromLocal8Bit(gr->gr_name);
    else
        a.group = QString::number(st.st_gid);
    a.inGroup = ::getegid() == st.st_gid;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(size_t(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        a.inGroup = a.inGroup || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    return a;
}

// The reason a port another program holds cannot be had, naming the holders.
QString busyReason(const QString &device)
{
    const QStringList holders = deviceHolders(device);
    return QString::fromLocal8Bit(std::strerror(EBUSY)) +
           (holders.isEmpty()
                ? MeterSession::tr("（串口正被其他程序使用）")
                : MeterSession::tr("（串口正被其他程序使用：%1）").arg(holders.join(QStringLiteral(", "))));
}

// Whether `fd` is the far end of a pseudo-terminal (Unix 98 slaves have the
// majors 136 to 143).
bool isPseudoTerminal(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}
#endif

} // namespace

QString MeterSession::refusalReason(const DeviceAccess &a)
{
    if (a.openErrno == EPERM)
        return tr("（系统的设备策略不允许打开 %1，例如服务的 DevicePolicy/DeviceAllow 设置或容器的设备限制）")
            .arg(a.device);
    if (a.openErrno != EACCES)
        return QString();
    // Group members may read and write it: joining the group helps.
    if (!a.inGroup && (a.mode & 060) == 060)
        return tr("（请将当前用户加入 %1 组）").arg(a.group);
    return tr("（%1 的权限 %2（属主 %3，组 %4）不允许当前用户读写）")
        .arg(a.device, QStringLiteral("%1").arg(a.mode, 4, 8, QLatin1Char('0')), a.owner, a.group);
}

MeterSession::MeterSession(QObject *parent)
    : QObject(parent), m_serial(new SerialPort(this)), m_lastReadingMs(kNoReading)
{
    qRegisterMetaType<MeterSession::EndReason>();
    // Named so that diagnostics and tests find them among the children.
    m_serial->setObjectName(QStringLiteral("serialPort"));
    m_watchdog.setObjectName(QStringLiteral("linkTimer"));
    m_watchdog.setParent(this);
    m_sampleTimer.setParent(this);
    m_sampleTimer.setTimerType(Qt::CoarseTimer);
    m_watchdog.setSingleShot(true);
    m_reopenTimer.setObjectName(QStringLiteral("reopenTimer"));
    m_reopenTimer.setParent(this);
    connect(&m_sampleTimer, &QTimer::timeout, this, &MeterSession::sample);
    connect(&m_watchdog, &QTimer::timeout, this, &MeterSession::lineSilent);
    connect(&m_reopenTimer, &QTimer::timeout, this, &MeterSession::tryReopen);
    // The lock goes with the port, however the port is closed.
    connect(m_serial, &QIODevice::aboutToClose, this, &MeterSession::releasePortLock);
    connect(m_serial, &SerialPort::errorOccurred, this, [this](SerialPort::SerialPortError error) {
        // A pulled cable or a closed pty: the port repeats this until it is
        // closed, so it is closed now rather than when the watchdog notices.
        if (m_running && m_device == m_serial &&
            (error == SerialPort::ReadError || error == SerialPort::ResourceError))
            serialLost();
    });
}

// The timers are members and go after the port, which is a child: stop the
// run first so no timer fires into a half-destroyed session.
MeterSession::~MeterSession()
{
    m_sampleTimer.stop();
    m_watchdog.stop();
    m_reopenTimer.stop();
    if (m_device)
        disconnect(m_device, nullptr, this, nullptr);
    disconnect(m_serial, nullptr, this, nullptr);
    releasePortLock();
}

void MeterSession::releasePortLock()
{
#ifdef Q_OS_LINUX
    if (m_portLock >= 0)
        ::close(m_portLock);
    m_portLock = -1;
#endif
}

void MeterSession::setPortName(const QString &name)
{
    m_portName = name;
}

QString MeterSession::portName() const
{
    return m_portName;
}

void MeterSession::setSamplingMode(bool automatic, uint seconds)
{
    m_automatic = automatic;
    m_interval = seconds;
    if (m_running)
        armSampling();
}

int MeterSession::samplePeriodMs() const
{
    return m_automatic ? kAutoPeriodMs : static_cast<int>(m_interval * 1000);
}

void MeterSession::failStart(const QString &reason)
{
    m_lastError = m_portName.isEmpty() ? reason : m_portName + QStringLiteral(": ") + reason;
    emit portError(m_portName, reason);
}

bool MeterSession::openSerial(QString *reason)
{
    m_serial->setPortName(m_portName);
#ifdef Q_OS_LINUX
    // Another copy of this program is kept out by a lock that the system
    // drops with its holder however it ends: flock(2) on a descriptor of the
    // device's own. A device this user cannot open here fails below with the
    // serial port's reason.
    releasePortLock();
    const QString device = deviceOf(m_portName);
    const int lock =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock);
        *reason = busyReason(device);
        return false;
    }
    m_portLock = lock;
#endif
    if (!m_serial->open(QIODevice::ReadWrite)) {
        *reason = m_serial->errorString();
#ifdef Q_OS_LINUX
        releasePortLock();
        // Out of descriptors, the serial port's lock file fails as if the
        // user had no right to it.
        if (OpenFiles::exhausted()) {
            *reason = OpenFiles::named(*reason);
            return false;
        }
        // A port another program holds (by its lock file, or by the exclusive
        // mode it set) is a permission error to the serial port, like a
        // device the user may not open. Only the device's own access rights
        // tell the two apart; the dialout group helps with the second alone.
        if (m_serial->error() == SerialPort::PermissionError) {
            const DeviceAccess access = deviceAccess(device);
            if (access.openErrno != 0 && access.openErrno != EBUSY) {
                *reason += refusalReason(access);
            } else {
                *reason = busyReason(device);
            }
        }
#elif defined(Q_OS_WIN)
        // Windows lets one program at a time open a port.
        if (m_serial->error() == SerialPort::PermissionError)
            *reason += tr("（串口正被其他程序使用）");
#endif
        return false;
    }
#ifdef Q_OS_LINUX
    // The exclusive mode the serial port sets outlives a holder killed on a
    // pseudo-terminal (whose other end keeps the terminal), and shuts out
    // every later start but root's. The lock above does that job there.
    if (isPseudoTerminal(int(m_serial->handle())))
        ::ioctl(int(m_serial->handle()), TIOCNXCL);
#endif
    // The results are not checked: a port that refuses a setting stays open
    // with what it accepted.
    m_serial->setBaudRate(SerialPort::Baud2400, SerialPort::AllDirections);
    m_serial->setParity(SerialPort::NoParity);
    m_serial->setDataBits(SerialPort::Data8);
    m_serial->setStopBits(SerialPort::OneStop);
    m_serial->setFlowControl(SerialPort::NoFlowControl);
    m_serial->clearError();
    m_serial->clear(SerialPort::AllDirections);
    // Opto-isolated meter cables draw their power from DTR, with RTS low. A
    // pseudo-terminal refuses both, which does no harm.
    m_serial->setDataTerminalReady(true);
    m_serial->setRequestToSend(false);
    return true;
}

bool MeterSession::start()
{
    if (m_portName.isEmpty()) {
        failStart(tr("未选择串口"));
        return false;
    }
    // A run in progress keeps the port it opened; the port chosen meanwhile
    // is for the next run.
    if (m_running) {
        failStart(tr("串口已打开，采集进行中"));
        return false;
    }
    QString reason;
    if (!openSerial(&reason)) {
        failStart(reason);
        return false;
    }
    begin(m_serial);
    return true;
}

bool MeterSession::start(QIODevice *device)
{
    if (m_running || !device || !device->isOpen())
        return false;
    begin(device);
    return true;
}

void MeterSession::begin(QIODevice *device)
{
    clearReceived();
    m_lastReadingMs = kNoReading;
    m_running = true;
    m_linkUp = false;
    m_lastBytesMs = QDateTime::currentMSecsSinceEpoch();
    m_lostSince = QDateTime();
    armSampling();
    attach(device);
    emit runStarted();
}

void MeterSession::attach(QIODevice *device)
{
    m_device = device;
    m_sinceBytes.start();
    m_watchdog.start(kLinkTimeoutMs);
    connect(device, &QIODevice::readyRead, this, &MeterSession::receive, Qt::UniqueConnection);
    // Any other device that its owner closes has gone away as a pulled cable has.
    if (device != m_serial)
        connect(device, &QIODevice::aboutToClose, this, [this] { endRun(EndReason::DeviceLost); });
}

void MeterSession::setResuming(bool on)
{
    m_resuming = on;
    if (on || !m_running)
        return;
    if (m_reopenTimer.isActive())
        endRun(EndReason::DeviceLost);
    else if (!m_lostSince.isNull())
        endRun(EndReason::Silence);
}

void MeterSession::lineSilent()
{
    // The watchdog is not started anew for every few bytes, which cost more
    // than taking them: when its time is up it waits for what is left of the
    // timeout since the last ones.
    const qint64 quiet = m_sinceBytes.elapsed();
    if (quiet < kLinkTimeoutMs) {
        m_watchdog.start(int(kLinkTimeoutMs - quiet));
        return;
    }
    if (!m_resuming) {
        endRun(EndReason::Silence);
        return;
    }
    // The run stays armed; the next byte brings the link back.
    markLinkLost();
}

void MeterSession::markLinkLost()
{
    m_linkUp = false;
    if (!m_lostSince.isNull())
        return;
    m_lostSince = QDateTime::fromMSecsSinceEpoch(m_lastBytesMs);
    emit linkChanged(false);
}

void MeterSession::serialLost()
{
    const QString reason = m_serial->errorString();
    if (!m_resuming) {
        endRun(EndReason::DeviceLost);
        emit portError(m_portName, reason);
        return;
    }
    m_watchdog.stop();
    disconnect(m_serial, &QIODevice::readyRead, this, &MeterSession::receive);
    m_serial->close();
    m_device = nullptr;
    // Half a frame from before the loss must not join the first bytes after it.
    clearReceived();
    // Waiting for the port already when the link goes down, so whoever
    // hears of it can tell a vanished port from a silent meter.
    m_reopenTimer.start(kReopenIntervalMs);
    markLinkLost();
    emit portError(m_portName, reason);
}

void MeterSession::tryReopen()
{
    QString reason;
    if (!m_running || !openSerial(&reason))
        return;
    m_reopenTimer.stop();
    attach(m_serial);
    emit portReopened(m_portName);
}

void MeterSession::stop()
{
    endRun(EndReason::Stopped);
}

void MeterSession::endRun(EndReason reason)
{
    if (!m_running)
        return;
    m_running = false;
    m_sampleTimer.stop();
    m_watchdog.stop();
    m_reopenTimer.stop();
    if (m_device == m_serial) {
        // Only what attach() connected: the port's errors are watched for
        // every run, not just the first one.
        disconnect(m_serial, &QIODevice::readyRead, this, &MeterSession::receive);
        m_serial->close();
    } else if (m_device) {
        disconnect(m_device, nullptr, this, nullptr);
    }
    m_device = nullptr;
    m_linkUp = false;
    m_lostSince = QDateTime();
    // A stopped run leaves the link annunciator as it was; a silent or lost
    // line takes it down.
    if (reason != EndReason::Stopped)
        emit linkChanged(false);
    emit runEnded(reason);
}

void MeterSession::clearReceived()
{
    m_rx.clear();
    m_rxStart = 0;
    m_chunks.clear();
}

void MeterSession::receive()
{
    if (!m_device)
        return;
    // The clock alone: the local time is worked out only for the readings a
    // tick takes, and if the line falls silent, not for every few bytes.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Set back (by hand or by the time service): readings from here on take
    // the clock's word rather than queueing up a millisecond after the old
    // times.
    if (now < m_lastBytesMs)
        m_lastReadingMs = kNoReading;
    m_lastBytesMs = now;
    // What is there, in one piece of its own size: readAll() starts every
    // read with a buffer of 16 KB for the few bytes a frame is.
    const qint64 available = m_device->bytesAvailable();
    const QByteArray bytes = available > 0 ? m_device->read(available) : m_device->readAll();
    if (!bytes.isEmpty()) {
        m_rx.append(bytes);
        m_chunks.append({m_rxStart + m_rx.size(), now});
        const int before = m_rx.size();
        boundRxBuffer(m_rx);
        m_rxStart += before - m_rx.size();
        dropConsumedChunks();
    }
    if (!m_linkUp) {
        m_linkUp = true;
        m_lostSince = QDateTime();
        emit linkChanged(true);
    }
    m_sinceBytes.start();
    if (!m_watchdog.isActive())
        m_watchdog.start(kLinkTimeoutMs);
    // Taking every frame, the session takes them as they come: a tick with
    // nothing to do would only wake the program for nothing (a logger on a
    // small board runs for months), and a frame waits for no tick.
    if (m_automatic && m_running && bytes.contains('\n'))
        sample();
}

void MeterSession::armSampling()
{
    // Only the fixed interval needs a clock; automatic sampling follows the bytes.
    if (m_automatic)
        m_sampleTimer.stop();
    else
        m_sampleTimer.start(samplePeriodMs());
}

void MeterSession::dropConsumedChunks()
{
    int consumed = 0;
    while (consumed < m_chunks.size() && m_chunks.at(consumed).end <= m_rxStart)
        ++consumed;
    m_chunks.remove(0, consumed);
}

// When the frame whose line feed is byte `lineFeedAt` of the run arrived.
// The port tells only when a read returned, not when each byte came. The
// bytes that followed the line feed in the same read crossed the line after
// it, each taking a byte-time, so the line feed was there at the latest that
// many byte-times before the read. On real hardware reads come a byte or a
// few at a time and this is within a few milliseconds of the truth; a
// pseudo-terminal or an adapter that gathers bytes hands over several frames
// at once, and they are spread back at the line's own pace instead of being
// stacked on one instant.
qint64 MeterSession::arrivalMs(qint64 lineFeedAt) const
{
    for (const Chunk &chunk : m_chunks) {
        if (chunk.end > lineFeedAt)
            return chunk.ms - (chunk.end - 1 - lineFeedAt) * kByteTimeNumerator / kBaud;
    }
    return QDateTime::currentMSecsSinceEpoch(); // not reached: every byte came in a chunk
}

void MeterSession::sample()
{
    if (!m_running)
        return;
    // Only frames cut out at this tick count: bytes without a line feed must
    // not record the previous frame again under a new time.
    m_frames.clear();
    m_frameEnds.clear();
    const qint64 start = m_rxStart;
    const int before = m_rx.size();
    if (m_automatic) {
        takeAllFrames(m_rx, m_frames, &m_frameEnds);
    } else {
        QByteArray frame;
        int end = 0;
        if (takeNewestFrame(m_rx, frame, &end) == FrameCut::Frame) {
            m_frames.append(frame);
            m_frameEnds.append(end);
        }
    }
    m_rxStart += before - m_rx.size();
    for (int i = 0; i < m_frames.size(); ++i) {
        take(m_frames.at(i), arrivalMs(start + m_frameEnds.at(i)));
        // A front end may stop the run from one of the signals.
        if (!m_running)
            return;
    }
    dropConsumedChunks();
}

void MeterSession::take(const QByteArray &frame, qint64 arrivedMs)
{
    const DecodedFrame decoded = decodeMeterFrame(frame);
    if (!decoded.valid)
        return;
    // Two reads close together can give estimates that overlap; a reading
    // is never stamped at or before the one it follows.
    const qint64 ms = qMax(arrivedMs, m_lastReadingMs + 1);
    m_lastReadingMs = ms;
    emit panelChanged(decoded.panel, decoded.negative);
    MeterReading reading;
    fillReading(decoded, QDateTime::fromMSecsSinceEpoch(ms), reading);
    const bool newRange = reading.rangeIndex != m_current.rangeIndex;
    m_current = reading;
    updateExtremes(m_extremes, m_current, newRange);
    emit readingTaken(m_current, newRange);
    // The first reading of a range is shown but not kept.
    if (!newRange)
        emit readingToStore(m_current);
}

bool parseSamplingInterval(const QString &text, bool *automatic, uint *seconds)
{
    const QString value = text.trimmed();
    if (value.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0) {
        *automatic = true;
        return true;
    }
    bool ok = false;
    const uint n = value.toUInt(&ok);
    if (!ok || n < 1 || n > 3600)
        return false;
    *automatic = false;
    *seconds = n;
    return true;
}
