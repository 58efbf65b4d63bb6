#pragma once

#include "core/store/storestate.h"

#include <QObject>
#include <QString>

#include <memory>

struct AlarmEvent;
struct MeterReading;
class StoreRead;

/// The one way to the database: what the window, the logger, the history
/// window and the tools use. The store writes readings and alarm events,
/// says how it stands, and runs reads on its own thread and connection.
/// `database` is the store on a PostgreSQL server; a test may give the
/// window a store of its own where a server is not the point.
class RecordStore : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    /// Keeps `reading` (from the meter named by source()); returns at once:
    /// 1 when it was taken, -1 when the store takes no more readings.
    virtual int submit(const MeterReading &reading) = 0;
    /// Keeps an alarm raise or clear (from the meter named by source()).
    virtual void recordAlarm(const AlarmEvent &event) = 0;

    /// The meter name stored with what is submitted from now on.
    virtual void setSource(const QString &source) = 0;
    virtual QString source() const = 0;

    /// How the store stands now.
    virtual StoreState state() const = 0;

    /// Runs `read` on the store's thread (see StoreRead); its result arrives
    /// on the thread of the receiver it names.
    virtual void read(const std::shared_ptr<StoreRead> &read) = 0;
    /// Runs `read` and waits for it (up to `timeoutMs`, -1: for good), for
    /// a caller that cannot go on without it (an export, a tool). False when
    /// it did not end in time; the read's own result says how it went.
    virtual bool readNow(const std::shared_ptr<StoreRead> &read, int timeoutMs = -1);

    /// Queues the readings the server refused once more and returns how
    /// many.
    virtual int retryRejected() = 0;

    /// While at least one caller watches, rowsAdded() tells of rows that any
    /// writer commits into the table (the program, a logger elsewhere, a
    /// tool), within a second or so. Calls are counted: each true needs its
    /// false.
    virtual void watchTable(bool on) { Q_UNUSED(on) }

    /// StoreStatus::statusText() of state().
    QString statusText() const { return StoreStatus::statusText(state()); }

signals:
    /// Something in state() changed.
    void stateChanged();
    /// Rows of the meter `source` ("" for none named) were committed; a null
    /// `source` when whose rows they are is not known.
    void rowsAdded(const QString &source);
};
