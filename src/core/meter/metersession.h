#pragma once

#include "core/meter/framedecoder.h"
#include "core/meter/maxdatabase.h"
#include "core/meter/meterreading.h"
#include "core/meter/serialport.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

class QIODevice;

/// Reads a sampling interval as the command lines give it: "auto" (any case)
/// or whole seconds 1-3600. False for anything else, leaving the outputs alone.
bool parseSamplingInterval(const QString &text, bool *automatic, uint *seconds);

/// The path of a reading from the meter's port to whoever shows or keeps it:
/// the receive buffer, the sampling tick, the line watchdog, the range-change
/// rule and the running extremes. It has no widgets; the window, the logger
/// and the tests are its front ends.
///
/// A run starts on the chosen serial port (2400 baud, 8N1, no flow control,
/// DTR on and RTS off) or on any open QIODevice, and ends when it is stopped,
/// when the line has been silent for a second or when the device goes away.
///
/// A resuming run (setResuming()) outlives both: silence only takes the link
/// down, and a serial port that went away is reopened at the same path every
/// two seconds with the settings of a start. Readings go on as soon as bytes
/// arrive again. Only stop() (or a device other than the serial port going
/// away) ends it.
class MeterSession : public QObject
{
    Q_OBJECT

public:
    /// Why a run ended.
    enum class EndReason { Stopped, Silence, DeviceLost };
    Q_ENUM(EndReason)

    /// Tick period in automatic mode and the silence that ends a run.
    static constexpr int kAutoPeriodMs = 60;
    static constexpr int kLinkTimeoutMs = 1000;
    /// How often a resuming run tries to reopen a serial port that went away.
    static constexpr int kReopenIntervalMs = 2000;

    explicit MeterSession(QObject *parent = nullptr);
    ~MeterSession() override;

    /// What the system says of a device the serial port was refused.
    struct DeviceAccess
    {
        QString device;       ///< its path
        int openErrno = 0;    ///< errno of opening it for reading and writing; 0: it opened
        uint mode = 0;        ///< its permission bits (0660)
        QString owner;        ///< its owner's name
        QString group;        ///< its group's name
        bool inGroup = false; ///< the process is a member of that group
    };
    /// Why such a device was refused, added to the port's own error: join
    /// the group where the group may read and write it and the process is
    /// not in it; the device's permissions where they shut out the user even
    /// so; the system's device policy (a unit's DevicePolicy/DeviceAllow, a
    /// container) where open(2) said EPERM. Empty where the device itself
    /// opened or was busy (another program holds the port), or for any other
    /// error.
    static QString refusalReason(const DeviceAccess &access);

    /// The port the next start() opens: a listed name ("ttyUSB0") or a
    /// device path. A run in progress keeps the port it opened.
    void setPortName(const QString &name);
    QString portName() const;

    /// Automatic: every frame is taken, as soon as its last byte is read
    /// (at the meter's pace, about every 60 ms). Otherwise a tick every
    /// `seconds` s takes the newest frame.
    /// Either way a reading carries the time its frame arrived, not the
    /// tick's: readings taken at one tick keep distinct, increasing times.
    /// A running tick takes the new period at once.
    void setSamplingMode(bool automatic, uint seconds);
    bool isAutomatic() const { return m_automatic; }
    uint interval() const { return m_interval; }
    int samplePeriodMs() const;

    /// Opens the chosen serial port and starts a run. On failure nothing
    /// changes, portError() is emitted and lastError() says why.
    bool start();
    /// Starts a run on an open device that the caller keeps owning (tests,
    /// captures). Fails when a run is in progress.
    bool start(QIODevice *device);
    /// Ends the run (reason Stopped); does nothing when none is in progress.
    void stop();
    bool isRunning() const { return m_running; }
    /// The serial port a start() opens; open while a run on it is in progress.
    SerialPort *serialPort() const { return m_serial; }

    /// Whether runs outlive silence and a vanished port. Off by default.
    /// Switching it off while a run waits for its meter ends that run.
    void setResuming(bool on);
    bool isResuming() const { return m_resuming; }
    /// Whether bytes have arrived within the last second of the run.
    bool isLinkUp() const { return m_linkUp; }
    /// While a resuming run waits for its meter: since when (the last byte,
    /// or the start when none came). Null otherwise.
    QDateTime linkLostSince() const { return m_lostSince; }
    /// While a resuming run waits for its serial port to come back.
    bool isWaitingForPort() const { return m_reopenTimer.isActive(); }

    /// One sampling tick now, as the timer gives it.
    void sample();

    /// The newest reading; rangeIndex -1 before the first one.
    const MeterReading &currentReading() const { return m_current; }
    /// Running maximum and minimum of the current range.
    const maxdatabase &extremes() const { return m_extremes; }
    /// Bytes received and not yet taken by a tick.
    int bufferedBytes() const { return m_rx.size(); }
    /// "name: reason" of the last failed start.
    QString lastError() const { return m_lastError; }

signals:
    /// A frame that decoded: what it lights on the panel besides the digits.
    void panelChanged(const PanelBits &panel, bool negative);
    /// A reading, with the extremes already folded in. `newRange`: its range
    /// differs from the previous reading's (always so for the first one).
    void readingTaken(const MeterReading &reading, bool newRange);
    /// A reading to keep: every one that continues a range, after readingTaken().
    void readingToStore(const MeterReading &reading);
    /// Bytes arrive (up) or the line fell silent or went away (down).
    void linkChanged(bool up);
    void runStarted();
    void runEnded(MeterSession::EndReason reason);
    /// The port could not be opened or was lost; `reason` is the system's.
    void portError(const QString &portName, const QString &reason);
    /// A resuming run opened its serial port again after losing it.
    void portReopened(const QString &portName);

private:
    void begin(QIODevice *device);
    void armSampling();
    void endRun(EndReason reason);
    void receive();
    void take(const QByteArray &frame, qint64 arrivedMs);
    qint64 arrivalMs(qint64 lineFeedAt) const;
    void dropConsumedChunks();
    void clearReceived();
    void failStart(const QString &reason);
    bool openSerial(QString *reason);
    void releasePortLock();
    void attach(QIODevice *device);
    void lineSilent();
    void serialLost();
    void markLinkLost();
    void tryReopen();

    SerialPort *m_serial = nullptr;
    /// This program's lock on the open serial port's device (Linux): a
    /// descriptor of its own holding flock(2), -1 when none.
    int m_portLock = -1;
    QPointer<QIODevice> m_device;
    QString m_portName;
    QString m_lastError;
    QByteArray m_rx;
    /// Bytes of the run received before m_rx[0].
    qint64 m_rxStart = 0;
    /// A read from the device: where its bytes end in the run's stream and
    /// the clock (ms since the epoch) when it came. Kept while m_rx holds
    /// any of its bytes.
    struct Chunk
    {
        qint64 end;
        qint64 ms;
    };
    QVector<Chunk> m_chunks;
    QVector<QByteArray> m_frames;
    QVector<int> m_frameEnds;
    qint64 m_lastReadingMs; // time of the previous reading, ms since the epoch
    QTimer m_sampleTimer;
    QTimer m_watchdog;
    QTimer m_reopenTimer;
    bool m_automatic = true;
    uint m_interval = 1;
    bool m_running = false;
    bool m_linkUp = false;
    bool m_resuming = false;
    qint64 m_lastBytesMs = 0; // ms since the epoch
    QElapsedTimer m_sinceBytes; // the watchdog's clock, which the wall clock's steps do not move
    QDateTime m_lostSince;
    MeterReading m_current;
    maxdatabase m_extremes;
};
