#pragma once

#include <QElapsedTimer>
#include <QIODevice>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class QWinEventNotifier;

/// A serial port over the Win32 communications API: "COM1" to "COM256" or
/// "\\.\COMn". Reads are overlapped and finish when bytes arrive or after a
/// short timeout, so the event loop neither waits on the port nor wakes more
/// than a few times a second while the line is quiet. A read that fails (a
/// USB adapter pulled out) is reported as ResourceError, as Qt's port does.
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

    /// How long a read waits for a first byte before it is issued again.
    static constexpr int kReadTimeoutMs = 250;

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
    struct Io;
    void fail(SerialPortError error, quint32 code);
    bool updateState(const std::function<void(void *dcb)> &change);
    void startRead();
    void readFinished();

    QString m_name;
    SerialPortError m_error = NoError;
    std::unique_ptr<Io> m_io;
    QWinEventNotifier *m_notifier = nullptr;
    QTimer *m_retry = nullptr;
    QByteArray m_buffer;
    QElapsedTimer m_readStarted;
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
