#pragma once

#include "core/meter/alarmrule.h"
#include "core/meter/meterreading.h"
#include "core/store/recordstore.h"
#include "core/store/storeread.h"

#include <QVector>

/// A store that keeps what it is given in memory, for the scenes of a
/// window where a server is not the point. Reads fail: there is no table.
class MemoryStore : public RecordStore
{
public:
    QVector<MeterReading> readings;
    QVector<AlarmEvent> alarms;

    int submit(const MeterReading &reading) override
    {
        readings.append(reading);
        return 1;
    }
    void recordAlarm(const AlarmEvent &event) override { alarms.append(event); }
    void setSource(const QString &source) override { m_source = source; }
    QString source() const override { return m_source; }
    StoreState state() const override
    {
        StoreState s;
        s.writing = true;
        s.connected = true;
        return s;
    }
    void read(const std::shared_ptr<StoreRead> &read) override { read->fail(QStringLiteral("no server")); }
    int retryRejected() override { return 0; }

private:
    QString m_source;
};
