#include "core/meter/extremes.h"
#include "core/meter/frameencoder.h"
#include "core/meter/memoryline.h"
#include "core/meter/metersession.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cerrno>
#include <limits>

namespace {

QByteArray frame(int range, int count, bool negative = false)
{
    return encodeMeterFrame(FrameContent{range, -1, count, negative, false, {}});
}

QByteArray withByte(QByteArray f, int at, char value)
{
    f[at] = value;
    return f;
}

/// A session on an in-memory line, with what it reports written down.
struct Rig
{
    MeterSession session;
    MemoryLine line;
    QStringList taken;  ///< value texts, "*" in front of one that starts a range
    QStringList stored; ///< value texts handed to the store
    QList<bool> link;
    QList<MeterSession::EndReason> ends;

    Rig()
    {
        QObject::connect(&session, &MeterSession::readingTaken, [this](const MeterReading &r, bool newRange) {
            taken << (newRange ? "*" : "") + r.valueStr;
        });
        QObject::connect(&session, &MeterSession::readingToStore,
                         [this](const MeterReading &r) { stored << r.valueStr; });
        QObject::connect(&session, &MeterSession::linkChanged, [this](bool up) { link << up; });
        QObject::connect(&session, &MeterSession::runEnded,
                         [this](MeterSession::EndReason reason) { ends << reason; });
    }
};

} // namespace

class tst_MeterSession : public QObject
{
    Q_OBJECT

private slots:
    // A refused device names what refused it: a group to join only where
    // joining helps; its rights where the user is in the group already; the
    // device policy where open(2) said EPERM; nothing of its own for a busy port.
    void refusalReasons_data()
    {
        QTest::addColumn<int>("openErrno");
        QTest::addColumn<uint>("mode");
        QTest::addColumn<bool>("inGroup");
        QTest::addColumn<QString>("says"); // empty: no reason of its own
        QTest::newRow("not in the group") << EACCES << 0660u << false << "加入 dialout 组";
        QTest::newRow("in the group, owner only")
            << EACCES << 0600u << true << "0600（属主 root，组 dialout）";
        QTest::newRow("not in a group without rights") << EACCES << 0620u << false << "0620（属主 root";
        QTest::newRow("device policy") << EPERM << 0660u << true << "设备策略不允许打开 /dev/ttyUSB0";
        QTest::newRow("busy") << EBUSY << 0660u << true << "";
        QTest::newRow("opened") << 0 << 0660u << true << "";
    }
    void refusalReasons()
    {
        QFETCH(int, openErrno);
        QFETCH(uint, mode);
        QFETCH(bool, inGroup);
        QFETCH(QString, says);
        const QString reason =
            MeterSession::refusalReason({QStringLiteral("/dev/ttyUSB0"), openErrno, mode,
                                         QStringLiteral("root"), QStringLiteral("dialout"), inGroup});
        QVERIFY2(says.isEmpty() ? reason.isEmpty() : reason.contains(says), qPrintable(reason));
        QVERIFY2(!reason.contains(QLatin1String("加入")) || (!inGroup && (mode & 060) == 060),
                 qPrintable(reason));
    }

    // Each entry of `ticks` arrives and then one tick passes.
    void ticks_data()
    {
        QTest::addColumn<bool>("automatic");
        QTest::addColumn<QList<QByteArray>>("ticks");
        QTest::addColumn<QStringList>("taken");
        const QByteArray f1 = frame(2, 100), f2 = frame(2, 200), f3 = frame(2, 300), f4 = frame(2, 400);
        using L = QList<QByteArray>;
        QTest::newRow("fixed interval takes the newest") << false << L{f1 + f2 + f3} << QStringList{"*3.00"};
        QTest::newRow("split anywhere") << true << L{f1.left(5), f1.mid(5) + f2.left(13), f2.mid(13) + f3}
                                        << QStringList{"*1.00", "2.00", "3.00"};
        QTest::newRow("newest of two and a half, fixed")
            << false << L{f2 + f3 + f4.left(7), f4.mid(7)} << QStringList{"*3.00", "4.00"};
        // Ticks over bytes that close no frame must not record the last one again.
        QTest::newRow("no line feed")
            << true << L{f1, "0123456789abcdefghij", {}, f2} << QStringList{"*1.00", "2.00"};
        QTest::newRow("line feed below 13")
            << true << L{f1, frame(2, 999).right(6) + f2.left(8), {}, f2.mid(8)}
            << QStringList{"*1.00", "2.00"};
        QTest::newRow("noise between frames")
            << true << L{f1 + QByteArray("\x01\n \n?0:?\r\n", 10) + f2} << QStringList{"*1.00", "2.00"};
        // A line feed without its carriage return ends no frame of the meter's.
        QTest::newRow("no carriage return")
            << true << L{f1 + withByte(frame(2, 150), 12, ' ') + f2} << QStringList{"*1.00", "2.00"};
    }

    void ticks()
    {
        QFETCH(bool, automatic);
        QFETCH(QList<QByteArray>, ticks);
        QFETCH(QStringList, taken);
        Rig rig;
        rig.session.setSamplingMode(automatic, 3600); // the test ticks by itself
        QVERIFY(rig.session.start(&rig.line));
        for (const QByteArray &bytes : ticks) {
            if (!bytes.isEmpty())
                rig.line.feed(bytes);
            rig.session.sample();
        }
        QCOMPARE(rig.taken, taken);
        // Only readings that continue a range are kept.
        QStringList continuing;
        for (const QString &t : taken)
            if (!t.startsWith('*'))
                continuing << t;
        QCOMPARE(rig.stored, continuing);
    }

    // Each reading carries the time its frame arrived: the time of the read
    // that brought its last byte, less a byte-time (25/6 ms at 2400 baud) for
    // each byte that came after it in that read, and never at or before the
    // previous reading. The tick comes well after the reads.
    void readingTimes_data()
    {
        QTest::addColumn<bool>("automatic");
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QList<int>>("readOf");     // the read that brought each reading's last byte
        QTest::addColumn<QList<int>>("msBeforeIt"); // how long before that read it arrived
        const QByteArray f1 = frame(2, 100), f2 = frame(2, 200), f3 = frame(2, 300);
        using B = QList<QByteArray>;
        using I = QList<int>;
        QTest::newRow("three frames in one read") << true << B{f1 + f2 + f3} << I{0, 0, 0} << I{116, 58, 0};
        QTest::newRow("a frame and the start of the next")
            << true << B{f1 + f2.left(7), f2.mid(7)} << I{0, 1} << I{29, 0};
        QTest::newRow("a burst right after a read") << true << B{f1, f2 + f3} << I{0, 1, 1} << I{0, 58, 0};
        QTest::newRow("fixed interval, the newest")
            << false << B{f1 + f2 + f3.left(3), f3.mid(3, 5)} << I{0} << I{3 * 25 / 6};
    }

    void readingTimes()
    {
        QFETCH(bool, automatic);
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QList<int>, readOf);
        QFETCH(QList<int>, msBeforeIt);
        Rig rig;
        QList<qint64> times;
        QObject::connect(&rig.session, &MeterSession::readingTaken,
                         [&times](const MeterReading &r) { times << r.time.toMSecsSinceEpoch(); });
        rig.session.setSamplingMode(automatic, 3600);
        QVERIFY(rig.session.start(&rig.line));
        QList<QPair<qint64, qint64>> readAt; // the clock just before and just after each read
        for (const QByteArray &bytes : reads) {
            const qint64 before = QDateTime::currentMSecsSinceEpoch();
            rig.line.feed(bytes);
            readAt.append({before, QDateTime::currentMSecsSinceEpoch()});
        }
        QTRY_VERIFY(QDateTime::currentMSecsSinceEpoch() > readAt.last().second + 100);
        rig.session.sample();

        QCOMPARE(times.size(), readOf.size());
        qint64 floor = std::numeric_limits<qint64>::min() + 1;
        for (int i = 0; i < times.size(); ++i) {
            const auto [before, after] = readAt[readOf[i]];
            QVERIFY2(times[i] >= qMax(before - msBeforeIt[i], floor) &&
                         times[i] <= qMax(after - msBeforeIt[i], floor),
                     qPrintable(QString::number(times[i] - after)));
            floor = times[i] + 1;
        }
    }

    void runsAndTheLink()
    {
        Rig rig;
        // A port that cannot open: the reason, and the port named in the signal.
        QSignalSpy errors(&rig.session, &MeterSession::portError);
        QVERIFY(!rig.session.start());
        QCOMPARE(rig.session.lastError(), QStringLiteral("未选择串口"));
#ifdef Q_OS_WIN
        const QString missing = QStringLiteral("COM250");
        const QString notFound = qt_error_string(2); // ERROR_FILE_NOT_FOUND
#else
        const QString missing = QStringLiteral("/dev/tk52k-no-such-port");
        const QString notFound = QStringLiteral("No such file or directory");
#endif
        rig.session.setPortName(missing);
        QVERIFY(!rig.session.start());
        QCOMPARE(rig.session.lastError(), missing + QStringLiteral(": ") + notFound);
        QCOMPARE(errors.count(), 2);
        QVERIFY(errors[0][0].toString().isEmpty() && errors[1][0].toString() == missing);

        QVERIFY(rig.session.start(&rig.line));
        // A run in progress is not replaced by another start.
        QVERIFY(!rig.session.start(&rig.line));
        rig.line.feed(frame(1, 1000) + frame(1, 3000));
        rig.session.sample();

        // A stopped run leaves the link as it was; bytes after it are not read.
        rig.session.stop();
        QCOMPARE(rig.ends, QList<MeterSession::EndReason>{MeterSession::EndReason::Stopped});
        QCOMPARE(rig.link, QList<bool>{true});
        rig.line.feed(frame(1, 5000));
        QCOMPARE(rig.session.bufferedBytes(), 0);

        // The next run in the same range continues it: stored, extremes kept.
        MemoryLine again;
        QVERIFY(rig.session.start(&again));
        again.feed(frame(1, 2000));
        rig.session.sample();
        QCOMPARE(rig.taken, (QStringList{"*1.000", "3.000", "2.000"}));
        QCOMPARE(rig.stored, (QStringList{"3.000", "2.000"}));
        QCOMPARE(maxFieldText(rig.session.extremes()) + minFieldText(rig.session.extremes()), "3.000V1.000V");

        // A device its owner closes has gone away.
        again.close();
        QCOMPARE(rig.ends.last(), MeterSession::EndReason::DeviceLost);
        QCOMPARE(rig.link.last(), false);
    }

    // About a second without bytes ends a run: bounded from the last byte,
    // generously for a loaded machine but far below a slip to many seconds.
    void silenceEndsARun()
    {
        Rig rig;
        QVERIFY(rig.session.start(&rig.line));
        QElapsedTimer quiet;
        quiet.start();
        rig.line.feed(frame(2, 100));
        QTRY_COMPARE_WITH_TIMEOUT(rig.ends, QList<MeterSession::EndReason>{MeterSession::EndReason::Silence},
                                  20000);
        const qint64 waited = quiet.elapsed();
        QVERIFY2(waited >= 900 && waited < 4000, qPrintable(QString::number(waited)));
    }

    // A resuming run waits through three times the silence that ends an
    // ordinary one; switched off while the meter is silent, it ends as one would.
    void resumingRunOutlivesSilence()
    {
        Rig rig;
        rig.session.setResuming(true);
        QVERIFY(rig.session.start(&rig.line));
        const QDateTime beforeLast = QDateTime::currentDateTime();
        rig.line.feed(frame(2, 100) + frame(2, 200));
        QTRY_COMPARE_WITH_TIMEOUT(rig.link, (QList<bool>{true, false}), 10000);
        const QDateTime since = rig.session.linkLostSince();
        QVERIFY(since >= beforeLast && since <= QDateTime::currentDateTime().addMSecs(-900));
        QTest::qWait(3 * MeterSession::kLinkTimeoutMs);
        QVERIFY(rig.session.isRunning() && rig.ends.isEmpty());
        QCOMPARE(rig.link, (QList<bool>{true, false}));

        rig.line.feed(frame(2, 300));
        QTRY_COMPARE_WITH_TIMEOUT(rig.stored, (QStringList{"2.00", "3.00"}), 10000);
        QVERIFY(rig.session.linkLostSince().isNull());
        QTRY_COMPARE_WITH_TIMEOUT(rig.link, (QList<bool>{true, false, true, false}), 10000);
        rig.session.setResuming(false);
        QCOMPARE(rig.ends, QList<MeterSession::EndReason>{MeterSession::EndReason::Silence});
    }
};

QTEST_GUILESS_MAIN(tst_MeterSession)
#include "tst_metersession.moc"
