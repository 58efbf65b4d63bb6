#pragma once

#include <QIODevice>

#include <cstring>

/// A serial line in memory, for tests, benchmarks and replayed captures:
/// what feed() is given arrives as one read.
class MemoryLine : public QIODevice
{
public:
    MemoryLine() { open(QIODevice::ReadOnly); }
    void feed(const QByteArray &bytes)
    {
        m_data += bytes;
        emit readyRead();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const int n = int(qMin<qint64>(max, m_data.size()));
        std::memcpy(data, m_data.constData(), size_t(n));
        m_data.remove(0, n);
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
};
