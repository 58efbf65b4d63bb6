#include "storeread.h"

#include <QMetaObject>
#include <QObject>

StoreRead::StoreRead() : m_receiver(std::make_shared<Receiver>()) {}

StoreRead::~StoreRead() = default;

void StoreRead::whenDone(QObject *receiver, std::function<void()> done)
{
    m_done = std::move(done);
    QMutexLocker lock(&m_receiver->mutex);
    m_receiver->object = receiver;
    if (!receiver)
        return;
    // Direct, on the thread that destroys the receiver, before it is gone.
    QObject::connect(receiver, &QObject::destroyed, [weak = std::weak_ptr<Receiver>(m_receiver)] {
        if (const auto r = weak.lock()) {
            QMutexLocker lock(&r->mutex);
            r->object = nullptr;
        }
    });
}

void StoreRead::post(std::function<void()> call)
{
    QMutexLocker lock(&m_receiver->mutex);
    if (m_receiver->object)
        QMetaObject::invokeMethod(m_receiver->object, std::move(call), Qt::QueuedConnection);
}

void StoreRead::execute(QSqlDatabase &db, const StoreContext &context)
{
    // A read cancelled before it ran still runs: it says so in its own way.
    run(db, context);
    finished();
}

void StoreRead::fail(const QString &why)
{
    m_error = why;
    finished();
}

void StoreRead::finished()
{
    if (m_doneHere) {
        std::function<void()> here = std::move(m_doneHere);
        m_doneHere = nullptr;
        here();
    }
    // Handed over, not kept: a call that holds the read itself must not
    // keep it alive for good.
    std::function<void()> done = std::move(m_done);
    m_done = nullptr;
    if (done)
        post(std::move(done));
}
