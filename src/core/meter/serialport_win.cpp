#include "serialport_win.h"

#include <QRegularExpression>
#include <QTimer>
#include <QWinEventNotifier>

#include <algorithm>

#include <qt_windows.h>

struct WinSerialPort::Io
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED readOverlap = {};
    char readBuffer[4096];
    bool reading = false;
};

namespace {
QString errorText(DWORD code)
{
    return qt_error_string(int(code));
}

// A port that is opened twice, even by this program, refuses the second
// open with "access denied"; a name that is no port gives "not found".
WinSerialPort::SerialPortError openErrorOf(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return WinSerialPort::DeviceNotFoundError;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return WinSerialPort::PermissionError;
    default:
        return WinSerialPort::OpenError;
    }
}
} // namespace

WinSerialPort::WinSerialPort(QObject *parent) : QIODevice(parent), m_io(new Io)
{
    m_io->readOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_notifier = new QWinEventNotifier(m_io->readOverlap.hEvent, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QWinEventNotifier::activated, this, &WinSerialPort::readFinished);
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &WinSerialPort::startRead);
}

WinSerialPort::~WinSerialPort()
{
    close();
    delete m_notifier;
    CloseHandle(m_io->readOverlap.hEvent);
}

void WinSerialPort::setPortName(const QString &name)
{
    m_name = name;
}

QString WinSerialPort::devicePath(const QString &name)
{
    static const QRegularExpression port(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM([1-9][0-9]{0,2})$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = port.match(name.trimmed());
    if (!m.hasMatch() || m.captured(1).toInt() > 256)
        return QString();
    return QStringLiteral("\\\\.\\COM") + m.captured(1);
}

void WinSerialPort::fail(SerialPortError error, quint32 code)
{
    m_error = error;
    setErrorString(errorText(code));
    emit errorOccurred(error);
}

void WinSerialPort::clearError()
{
    m_error = NoError;
}

bool WinSerialPort::open(OpenMode mode)
{
    if (isOpen())
        return false;
    const QString path = devicePath(m_name);
    if (path.isEmpty()) {
        fail(DeviceNotFoundError, ERROR_FILE_NOT_FOUND);
        return false;
    }
    DWORD access = 0;
    if (mode & ReadOnly)
        access |= GENERIC_READ;
    if (mode & WriteOnly)
        access |= GENERIC_WRITE;
    const HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), access, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        fail(openErrorOf(code), code);
        return false;
    }
    // Returns as soon as any byte is there, or after the timeout with none:
    // the read neither blocks nor comes back empty at once.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
    timeouts.WriteTotalTimeoutConstant = 1000;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!SetCommTimeouts(h, &timeouts) || !GetCommState(h, &dcb)) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        fail(OpenError, code);
        return false;
    }
    // Binary, no character handling and nothing aborted on errors.
    dcb.fBinary = TRUE;
    dcb.fAbortOnError = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fInX = dcb.fOutX = FALSE;
    SetCommState(h, &dcb);
    m_io->handle = h;
    m_buffer.clear();
    m_error = NoError;
    QIODevice::open(mode | Unbuffered);
    if (mode & ReadOnly)
        startRead();
    return true;
}

void WinSerialPort::close()
{
    if (!isOpen())
        return;
    QIODevice::close();
    m_retry->stop();
    m_notifier->setEnabled(false);
    if (m_io->reading) {
        CancelIo(m_io->handle);
        DWORD n = 0;
        GetOverlappedResult(m_io->handle, &m_io->readOverlap, &n, TRUE);
        m_io->reading = false;
    }
    CloseHandle(m_io->handle);
    m_io->handle = INVALID_HANDLE_VALUE;
    m_buffer.clear();
}

qint64 WinSerialPort::bytesAvailable() const
{
    return m_buffer.size() + QIODevice::bytesAvailable();
}

qint64 WinSerialPort::readData(char *data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, m_buffer.size());
    std::copy_n(m_buffer.constData(), n, data);
    m_buffer.remove(0, int(n));
    return n;
}

qint64 WinSerialPort::writeData(const char *data, qint64 maxSize)
{
    OVERLAPPED overlap = {};
    overlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    bool ok = WriteFile(m_io->handle, data, DWORD(maxSize), &n, &overlap);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(m_io->handle, &overlap, &n, TRUE);
    const DWORD code = GetLastError();
    CloseHandle(overlap.hEvent);
    if (!ok) {
        fail(ResourceError, code);
        return -1;
    }
    return n;
}

void WinSerialPort::startRead()
{
    if (!isOpen() || m_io->reading)
        return;
    ResetEvent(m_io->readOverlap.hEvent);
    m_io->readOverlap.Offset = m_io->readOverlap.OffsetHigh = 0;
    m_readStarted.start();
    m_io->reading = true;
    m_notifier->setEnabled(true);
    if (!ReadFile(m_io->handle, m_io->readBuffer, sizeof m_io->readBuffer, nullptr, &m_io->readOverlap) &&
        GetLastError() != ERROR_IO_PENDING) {
        const DWORD code = GetLastError();
        m_io->reading = false;
        m_notifier->setEnabled(false);
        fail(ResourceError, code);
    }
    // Finished at once or pending: either way the event is signalled and
    // readFinished() takes the result from the event loop.
}

void WinSerialPort::readFinished()
{
    m_notifier->setEnabled(false);
    if (!m_io->reading)
        return;
    m_io->reading = false;
    DWORD n = 0;
    if (!GetOverlappedResult(m_io->handle, &m_io->readOverlap, &n, FALSE)) {
        const DWORD code = GetLastError();
        if (code == ERROR_IO_INCOMPLETE) {
            m_io->reading = true;
            m_notifier->setEnabled(true);
            return;
        }
        // A port whose adapter went away fails every read from now on.
        fail(ResourceError, code);
        return;
    }
    if (n > 0) {
        m_buffer.append(m_io->readBuffer, int(n));
        startRead();
        emit readyRead();
        return;
    }
    // Nothing came within the timeout. A driver that ends empty reads at once
    // instead (a hung-up line) is not asked again before the timeout has
    // passed, so a quiet port never keeps a core busy; one whose device is
    // gone says so when its state is asked for.
    DWORD errors = 0;
    if (!ClearCommError(m_io->handle, &errors, nullptr)) {
        const DWORD code = GetLastError();
        fail(ResourceError, code);
        return;
    }
    if (m_readStarted.elapsed() < kReadTimeoutMs / 2)
        m_retry->start(kReadTimeoutMs);
    else
        startRead();
}

bool WinSerialPort::updateState(const std::function<void(void *)> &change)
{
    if (!isOpen())
        return false;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_io->handle, &dcb))
        return false;
    change(&dcb);
    return SetCommState(m_io->handle, &dcb);
}

bool WinSerialPort::setBaudRate(qint32 baud, int)
{
    return updateState([baud](void *p) { static_cast<DCB *>(p)->BaudRate = DWORD(baud); });
}

bool WinSerialPort::setParity(Parity parity)
{
    return updateState([parity](void *p) {
        auto *dcb = static_cast<DCB *>(p);
        dcb->fParity = parity != NoParity;
        dcb->Parity = parity == NoParity ? NOPARITY : parity == EvenParity ? EVENPARITY : ODDPARITY;
    });
}

bool WinSerialPort::setDataBits(DataBits bits)
{
    return updateState([bits](void *p) { static_cast<DCB *>(p)->ByteSize = BYTE(bits); });
}

bool WinSerialPort::setStopBits(StopBits bits)
{
    return updateState(
        [bits](void *p) { static_cast<DCB *>(p)->StopBits = bits == OneStop ? ONESTOPBIT : TWOSTOPBITS; });
}

bool WinSerialPort::setFlowControl(FlowControl flow)
{
    return updateState([flow](void *p) {
        auto *dcb = static_cast<DCB *>(p);
        dcb->fOutxCtsFlow = flow == HardwareControl;
        dcb->fRtsControl = flow == HardwareControl ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
        dcb->fOutxDsrFlow = FALSE;
        dcb->fDsrSensitivity = FALSE;
    });
}

bool WinSerialPort::setDataTerminalReady(bool on)
{
    return isOpen() && EscapeCommFunction(m_io->handle, on ? SETDTR : CLRDTR);
}

bool WinSerialPort::setRequestToSend(bool on)
{
    return isOpen() && EscapeCommFunction(m_io->handle, on ? SETRTS : CLRRTS);
}

bool WinSerialPort::clear(int directions)
{
    if (!isOpen())
        return false;
    DWORD flags = 0;
    if (directions & Input) {
        flags |= PURGE_RXCLEAR;
        m_buffer.clear();
    }
    if (directions & Output)
        flags |= PURGE_TXCLEAR;
    return PurgeComm(m_io->handle, flags);
}

WinSerialPortInfo::WinSerialPortInfo(const QString &name)
{
    for (const WinSerialPortInfo &info : availablePorts()) {
        if (info.portName().compare(name, Qt::CaseInsensitive) == 0)
            m_name = info.portName();
    }
}

QStringList WinSerialPortInfo::sortedPortNames(const QStringList &names)
{
    QStringList ports;
    for (const QString &name : names) {
        const QString path = WinSerialPort::devicePath(name);
        if (!path.isEmpty() && !ports.contains(path.mid(4)))
            ports << path.mid(4);
    }
    std::sort(ports.begin(), ports.end(),
              [](const QString &a, const QString &b) { return a.midRef(3).toInt() < b.midRef(3).toInt(); });
    return ports;
}

QList<WinSerialPortInfo> WinSerialPortInfo::availablePorts()
{
    // Values: driver's device → port name ("\\Device\\Serial0" → "COM1"). The
    // device names hold backslashes, which QSettings takes for subkeys.
    QStringList names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t valueName[256];
            DWORD nameSize = 256;
            wchar_t data[64];
            DWORD dataSize = sizeof data;
            DWORD type = 0;
            const LONG r = RegEnumValueW(key, i, valueName, &nameSize, nullptr, &type,
                                         reinterpret_cast<BYTE *>(data), &dataSize);
            if (r == ERROR_NO_MORE_ITEMS)
                break;
            if (r != ERROR_SUCCESS || type != REG_SZ)
                continue;
            names << QString::fromWCharArray(data, int(dataSize / sizeof(wchar_t))).remove(QChar(0));
        }
        RegCloseKey(key);
    }
    QList<WinSerialPortInfo> ports;
    for (const QString &name : sortedPortNames(names)) {
        WinSerialPortInfo info;
        info.m_name = name;
        ports << info;
    }
    return ports;
}
