#pragma once

#include <QIODevice>
#include <QList>
#include <QString>

#include <functional>

class QTimer;

/// A serial port over the Win32 communications API: "COM1" to "COM256" or
/// "\\.\COMn". A timer asks the driver every few milliseconds how many bytes
/// it holds and reads those, with read timeouts that return at once: the
/// event loop never waits on the port, and a quiet port costs a cheap call
/// per tick. (Waiting for the driver's events instead returns at once for
/// ever on some drivers, Wine's among them, and overlapped reads there
/// ignore their timeouts.) A port whose state cannot be read any more (a USB
/// adapter pulled out) is reported as ResourceError, as Qt's port does; one
/// that another program, or another port object, has open as PermissionError.
class WinSerialPort : public QIODevice
{
    Q_OBJECT

public:
    enum SerialPortError {
        NoError,
        DeviceNotFoundError,
        PermissionError,
        OpenError,
        ReadError,
        ResourceError,
        UnsupportedOperationError
    };
    Q_ENUM(SerialPortError)
    enum BaudRate { Baud2400 = 2400, Baud9600 = 9600 };
    enum Direction { Input = 1, Output = 2, AllDirections = Input | Output };
    enum Parity { NoParity = 0, EvenParity = 2, OddParity = 3 };
    enum DataBits { Data7 = 7, Data8 = 8 };
    enum StopBits { OneStop = 1, TwoStop = 2 };
    enum FlowControl { NoFlowControl, HardwareControl };

    /// How often the driver is asked for bytes: a fraction of a frame's
    /// time on the line (58 ms at 2400 baud).
    static constexpr int kPollMs = 15;

    explicit WinSerialPort(QObject *parent = nullptr);
    ~WinSerialPort() override;

    void setPortName(const QString &name);
    QString portName() const { return m_name; }
    /// The device path CreateFile takes for a port name; empty when the name
    /// is none of COM1…COM256 and \\.\COMn.
    static QString devicePath(const QString &name);

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

    bool setBaudRate(qint32 baud, int directions = AllDirections);
    bool setParity(Parity parity);
    bool setDataBits(DataBits bits);
    bool setStopBits(StopBits bits);
    bool setFlowControl(FlowControl flow);
    bool setDataTerminalReady(bool on);
    bool setRequestToSend(bool on);
    /// Drops what is waiting in the driver's buffers and in this port's.
    bool clear(int directions = AllDirections);

    SerialPortError error() const { return m_error; }
    void clearError();

signals:
    void errorOccurred(WinSerialPort::SerialPortError error);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    void fail(SerialPortError error, quint32 code);
    bool updateState(const std::function<void(void *dcb)> &change);
    void poll();

    QString m_name;
    SerialPortError m_error = NoError;
    void *m_handle = nullptr; // INVALID_HANDLE_VALUE or null when closed
    void *m_claim = nullptr;  // the named mutex that marks the port taken
    QTimer *m_poll = nullptr;
    QByteArray m_buffer;
};

/// A serial port the system lists: those in the registry's device map,
/// which every serial driver fills in (Wine's mapped ports too, which the
/// setup API does not show).
class WinSerialPortInfo
{
public:
    WinSerialPortInfo() = default;
    /// The listed port called `name`; null when there is none.
    explicit WinSerialPortInfo(const QString &name);

    QString portName() const { return m_name; }
    bool isNull() const { return m_name.isEmpty(); }

    /// The listed ports, in the order of their numbers (COM2 before COM10).
    static QList<WinSerialPortInfo> availablePorts();
    /// Sorts and cleans a device map's port names the way availablePorts() does.
    static QStringList sortedPortNames(const QStringList &names);

private:
    QString m_name;
};
