#include "recordstore.h"

#include "core/store/storeread.h"

#include <QSemaphore>

bool RecordStore::readNow(const std::shared_ptr<StoreRead> &job, int timeoutMs)
{
    auto done = std::make_shared<QSemaphore>();
    job->whenDoneHere([done] { done->release(); });
    read(job);
    if (done->tryAcquire(1, timeoutMs < 0 ? -1 : timeoutMs))
        return true;
    job->cancel();
    return false;
}
