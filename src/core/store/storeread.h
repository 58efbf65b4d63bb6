#pragma once

#include "core/store/recordschema.h"

#include <QMutex>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QObject;
class QSqlDatabase;

/// What the store knows about its table when it runs a read.
struct StoreContext
{
    RecordSchema::TableShape shape;
};

/// A read that a store runs on its own thread and connection, between the
/// transactions that write readings. A subclass runs its statements in
/// run() and keeps its result in members of its own; whoever posted it reads
/// them once done() is called. Reads are short: a long one (an export) is a
/// series of reads, so writing never waits long for them.
class StoreRead
{
public:
    StoreRead();
    virtual ~StoreRead();

    /// Calls `done` on the thread of `receiver` once the read has run or
    /// failed; not at all when `receiver` is gone by then.
    void whenDone(QObject *receiver, std::function<void()> done);
    /// Calls `done` on the store's own thread as soon as the read has run or
    /// failed, for a caller that waits without an event loop.
    void whenDoneHere(std::function<void()> done) { m_doneHere = std::move(done); }
    /// Runs `call` on the receiver's thread (see whenDone()) while the read
    /// runs, e.g. to report progress; dropped when there is no receiver.
    void post(std::function<void()> call);

    /// Asks the read not to run, or to stop between its statements.
    void cancel() { m_cancelled = true; }
    bool isCancelled() const { return m_cancelled; }
    const std::atomic_bool *cancelFlag() const { return &m_cancelled; }

    /// Whether it failed, and why (a server's message, or that there was no
    /// server to ask).
    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }

    /// Run by the store on its thread. Not for callers.
    void execute(QSqlDatabase &db, const StoreContext &context);
    /// The store could not run it (no connection): reports `why`.
    void fail(const QString &why);

protected:
    /// The statements of the read. Sets the result, or calls setError(). A
    /// read asked to stop (isCancelled()) stops between its statements.
    virtual void run(QSqlDatabase &db, const StoreContext &context) = 0;
    void setError(const QString &error) { m_error = error; }

private:
    // The receiver, forgotten under the lock the moment it is destroyed, so
    // nothing is ever posted to an object that is gone.
    struct Receiver
    {
        QMutex mutex;
        QObject *object = nullptr;
    };

    void finished();

    std::shared_ptr<Receiver> m_receiver;
    std::function<void()> m_done;
    std::function<void()> m_doneHere;
    QString m_error;
    std::atomic_bool m_cancelled{false};
};
