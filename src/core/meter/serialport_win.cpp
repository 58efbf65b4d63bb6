#include "serialport_win.h"

#include <QRegularExpression>
#include <QTimer>

#include <algorithm>

#include <qt_windows.h>

namespace {
QString errorText(DWORD code)
{
    return qt_error_string(int(code));
}

// A port another program has open refuses the open with "access denied"; a
// name that is no port gives "not found".
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

HANDLE handleOf(void *h)
{
    return static_cast<HANDLE>(h);
}
} // namespace

WinSerialPort::WinSerialPort(QObject *parent) : QIODevice(parent), m_poll(new QTimer(this))
{
    m_poll->setTimerType(Qt::PreciseTimer);
    connect(m_poll, &QTimer::timeout, this, &WinSerialPort::poll);
}

WinSerialPort::~WinSerialPort()
{
    close();
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
    // Windows opens a port for one program at a time. The claim says so for
    // every copy of this program too where a driver shares its ports (Wine's
    // do), so the window and a logger never read one port between them.
    const QString claimName = QStringLiteral("Global\\tk52k-serial-") + path.mid(4);
    const HANDLE claim = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t *>(claimName.utf16()));
    if (claim && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        fail(PermissionError, ERROR_ACCESS_DENIED);
        return false;
    }
    DWORD access = 0;
    if (mode & ReadOnly)
        access |= GENERIC_READ;
    if (mode & WriteOnly)
        access |= GENERIC_WRITE;
    const HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), access, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (claim)
            CloseHandle(claim);
        fail(openErrorOf(code), code);
        return false;
    }
    // A read takes what the driver holds and returns at once.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = 1000;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!SetCommTimeouts(h, &timeouts) || !GetCommState(h, &dcb)) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        if (claim)
            CloseHandle(claim);
        fail(OpenError, code);
        return false;
    }
    // Binary, no character handling, and errors abort nothing.
    dcb.fBinary = TRUE;
    dcb.fAbortOnError = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fInX = dcb.fOutX = FALSE;
    SetCommState(h, &dcb);
    m_handle = h;
    m_claim = claim;
    m_buffer.clear();
    m_error = NoError;
    QIODevice::open(mode | Unbuffered);
    if (mode & ReadOnly)
        m_poll->start(kPollMs);
    return true;
}

void WinSerialPort::close()
{
    if (!isOpen())
        return;
    QIODevice::close();
    m_poll->stop();
    CloseHandle(handleOf(m_handle));
    if (m_claim)
        CloseHandle(handleOf(m_claim));
    m_handle = m_claim = nullptr;
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
    DWORD n = 0;
    if (!WriteFile(handleOf(m_handle), data, DWORD(maxSize), &n, nullptr)) {
        fail(ResourceError, GetLastError());
        return -1;
    }
    return n;
}

void WinSerialPort::poll()
{
    DWORD errors = 0;
    COMSTAT state = {};
    // A port whose adapter went away cannot tell its state any more.
    if (!ClearCommError(handleOf(m_handle), &errors, &state)) {
        m_poll->stop();
        fail(ResourceError, GetLastError());
        return;
    }
    if (state.cbInQue == 0)
        return;
    QByteArray bytes(int(qMin<DWORD>(state.cbInQue, 65536)), Qt::Uninitialized);
    DWORD n = 0;
    if (!ReadFile(handleOf(m_handle), bytes.data(), DWORD(bytes.size()), &n, nullptr)) {
        m_poll->stop();
        fail(ResourceError, GetLastError());
        return;
    }
    if (n == 0)
        return;
    m_buffer.append(bytes.constData(), int(n));
    emit readyRead();
}

bool WinSerialPort::updateState(const std::function<void(void *)> &change)
{
    if (!isOpen())
        return false;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_handle, &dcb))
        return false;
    change(&dcb);
    return SetCommState(m_handle, &dcb);
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
    return isOpen() && EscapeCommFunction(m_handle, on ? SETDTR : CLRDTR);
}

bool WinSerialPort::setRequestToSend(bool on)
{
    return isOpen() && EscapeCommFunction(m_handle, on ? SETRTS : CLRRTS);
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
    return PurgeComm(m_handle, flags);
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
