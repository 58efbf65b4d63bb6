// tk52k-sim: a virtual TALVIK 52K. It sends the meter's frames over a
// pseudo-terminal it creates (or to a device or file), paced like the real
// 2400-baud line, so the program can be run and tested without the meter.

#include "meterwalk.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// 2400 baud, one start bit, eight data bits, one stop bit.
constexpr double kBytesPerSecond = 2400.0 / 10.0;
constexpr double kLineLimitFps = kBytesPerSecond / kFrameSize;

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

[[noreturn]] void fail(const QString &message, int status = 1)
{
    std::fprintf(stderr, "tk52k-sim: %s\n", qPrintable(message));
    std::exit(status);
}

// A wrong command line, as every program of the project reports it.
[[noreturn]] void usageError(const QString &message)
{
    fail(message + QStringLiteral(" (tk52k-sim --help lists the options)"), 2);
}

void makeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B2400);
    cfsetospeed(&tio, B2400);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &tio);
}

struct Sink
{
    int fd = -1;
    int slaveFd = -1; // held open so the pty survives the program closing its end
    QString path;
    bool pace = true;
};

Sink openPty()
{
    Sink sink;
    sink.fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (sink.fd < 0 || grantpt(sink.fd) != 0 || unlockpt(sink.fd) != 0)
        fail(QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    const char *name = ptsname(sink.fd);
    if (!name)
        fail(QStringLiteral("cannot name the pseudo-terminal"));
    sink.path = QString::fromLocal8Bit(name);
    sink.slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (sink.slaveFd < 0)
        fail(QStringLiteral("cannot open %1: %2").arg(sink.path, QString::fromLocal8Bit(std::strerror(errno))));
    makeRaw(sink.slaveFd);
    return sink;
}

Sink openDevice(const QString &path)
{
    Sink sink;
    sink.path = path;
    sink.fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (sink.fd < 0)
        fail(QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (isatty(sink.fd))
        makeRaw(sink.fd);
    return sink;
}

Sink openOutput(const QString &path)
{
    Sink sink;
    sink.path = path;
    sink.pace = false;
    sink.fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (sink.fd < 0)
        fail(QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return sink;
}

void sleepUntil(Clock::time_point when)
{
    // Sleep in short steps so a signal ends the run promptly.
    while (!g_stop) {
        const auto now = Clock::now();
        if (now >= when)
            return;
        std::this_thread::sleep_for(std::min<Clock::duration>(when - now, std::chrono::milliseconds(100)));
    }
}

enum class WriteResult { Written, Dropped, Gone };

// Nobody reading a pty or a full device buffer drops the bytes, as a real
// line would; a vanished reader of a device ends the run.
WriteResult writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return WriteResult::Dropped;
            return WriteResult::Gone;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return WriteResult::Written;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tk52k-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TK52K_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A virtual TALVIK 52K multimeter. Creates a pseudo-terminal and sends the meter's "
        "14-byte frames on it, paced like the real line (2400 baud, 10 bits a byte). The "
        "first line on standard output is the device to give the program "
        "(tk52k --port DEVICE --start)."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption deviceOpt(QStringLiteral("device"),
        QStringLiteral("Write to this serial device or pty end instead of creating a pseudo-terminal."),
        QStringLiteral("PATH"));
    const QCommandLineOption outputOpt(QStringLiteral("output"),
        QStringLiteral("Write the frames to FILE, as fast as they are made (a capture for tests)."),
        QStringLiteral("FILE"));
    const QCommandLineOption rateOpt(QStringLiteral("rate"),
        QStringLiteral("Frames a second (default 3; at most %1, what the line carries).").arg(kLineLimitFps, 0, 'f', 2),
        QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption countOpt(QStringLiteral("count"),
        QStringLiteral("Stop after N frames."), QStringLiteral("N"));
    const QCommandLineOption durationOpt(QStringLiteral("duration"),
        QStringLiteral("Stop after SECONDS."), QStringLiteral("SECONDS"));
    const QCommandLineOption noiseOpt(QStringLiteral("noise"),
        QStringLiteral("Probability 0-1 that 1 to 6 random bytes precede a frame (default 0)."),
        QStringLiteral("P"), QStringLiteral("0"));
    const QCommandLineOption splitOpt(QStringLiteral("split"),
        QStringLiteral("Send each frame in 2 or 3 pieces spread over its time on the line, as a real UART delivers it."));
    const QCommandLineOption rangeOpt(QStringLiteral("range"),
        QStringLiteral("Stay in range N (0-44) instead of walking through all of them."),
        QStringLiteral("N"));
    const QCommandLineOption dwellOpt(QStringLiteral("dwell"),
        QStringLiteral("Frames spent in each range while walking (default: 90 seconds' worth, 30 with --quick)."),
        QStringLiteral("N"));
    const QCommandLineOption quickOpt(QStringLiteral("quick"),
        QStringLiteral("The quick walk: a new range every 30 frames, with frequent jumps, overloads and HOLD. "
                       "By default the value drifts slowly and a range lasts 90 seconds."));
    const QCommandLineOption seedOpt(QStringLiteral("seed"),
        QStringLiteral("Seed of the walk (default: random)."), QStringLiteral("N"));
    parser.addOptions({deviceOpt, outputOpt, rateOpt, countOpt, durationOpt, noiseOpt, splitOpt,
                       rangeOpt, dwellOpt, quickOpt, seedOpt});
    if (!parser.parse(app.arguments()))
        usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    auto number = [&](const QCommandLineOption &opt, double low, double high) {
        bool ok = false;
        const double v = parser.value(opt).toDouble(&ok);
        if (!ok || !(v >= low && v <= high))
            usageError(QStringLiteral("--%1 wants a number from %2 to %3")
                           .arg(opt.names().first())
                           .arg(low)
                           .arg(high));
        return v;
    };

    if (parser.isSet(deviceOpt) && parser.isSet(outputOpt))
        usageError(QStringLiteral("give either --device or --output"));
    double rate = number(rateOpt, 0.001, 1e6);
    if (rate > kLineLimitFps) {
        std::fprintf(stderr, "tk52k-sim: the line carries at most %.2f frames a second; using that\n", kLineLimitFps);
        rate = kLineLimitFps;
    }
    const long long count = parser.isSet(countOpt) ? static_cast<long long>(number(countOpt, 0, 1e15)) : -1;
    const double duration = parser.isSet(durationOpt) ? number(durationOpt, 0, 1e9) : -1.0;
    const double noise = number(noiseOpt, 0, 1);
    const int range = parser.isSet(rangeOpt) ? static_cast<int>(number(rangeOpt, 0, 44)) : -1;
    if (parser.isSet(rangeOpt) && parser.value(rangeOpt).toInt() != range)
        usageError(QStringLiteral("--range wants a whole number from 0 to 44"));
    const bool quick = parser.isSet(quickOpt);
    const int dwell = parser.isSet(dwellOpt) ? static_cast<int>(number(dwellOpt, 1, 1e9))
                      : quick                 ? 30
                                              : std::max(1, static_cast<int>(std::lround(90.0 * rate)));
    const quint32 seed = parser.isSet(seedOpt) ? static_cast<quint32>(number(seedOpt, 0, 4294967295.0))
                                               : QRandomGenerator::global()->generate();
    const bool split = parser.isSet(splitOpt);

    Sink sink = parser.isSet(deviceOpt)   ? openDevice(parser.value(deviceOpt))
                : parser.isSet(outputOpt) ? openOutput(parser.value(outputOpt))
                                          : openPty();
    std::printf("%s\n", qPrintable(sink.path));
    std::fflush(stdout);

    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    MeterWalk walk(seed, range, dwell, quick ? MeterWalk::Pace::Quick : MeterWalk::Pace::Steady);
    QRandomGenerator noiseRandom(seed ^ 0x9e3779b9u);
    const auto byteTime = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / kBytesPerSecond));
    const auto framePeriod = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    const auto begin = Clock::now();
    const auto end = duration >= 0 ? begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration))
                                   : Clock::time_point::max();
    auto nextFrame = begin;
    auto lineFree = begin;
    long long sent = 0;
    long long dropped = 0;
    bool gone = false;

    while (!g_stop && !gone && (count < 0 || sent + dropped < count)) {
        if (sink.pace)
            sleepUntil(nextFrame);
        if (g_stop || Clock::now() >= end)
            break;

        QByteArray bytes;
        if (noise > 0 && noiseRandom.generateDouble() < noise) {
            const int n = 1 + noiseRandom.bounded(6);
            for (int i = 0; i < n; ++i)
                bytes.append(static_cast<char>(noiseRandom.bounded(256)));
        }
        bytes.append(encodeMeterFrame(walk.next()));

        // Cut points: none, or one or two inside the frame.
        QVector<int> cuts{0};
        if (split) {
            const int pieces = 2 + noiseRandom.bounded(2);
            for (int i = 1; i < pieces; ++i)
                cuts.append(1 + noiseRandom.bounded(bytes.size() - 1));
            std::sort(cuts.begin(), cuts.end());
        }
        cuts.append(bytes.size());

        bool frameDropped = false;
        for (int i = 0; i + 1 < cuts.size() && !g_stop; ++i) {
            const int len = cuts[i + 1] - cuts[i];
            if (len <= 0)
                continue;
            if (sink.pace) {
                // A piece leaves only once the line has carried the previous one.
                sleepUntil(lineFree);
                lineFree = std::max(lineFree, Clock::now()) + len * byteTime;
            }
            const WriteResult r = writeAll(sink.fd, bytes.constData() + cuts[i], static_cast<size_t>(len));
            if (r == WriteResult::Gone) {
                gone = true;
                break;
            }
            frameDropped = frameDropped || r == WriteResult::Dropped;
        }
        if (frameDropped)
            ++dropped;
        else if (!gone)
            ++sent;
        nextFrame = std::max(nextFrame + framePeriod, lineFree);
    }

    std::fprintf(stderr, "tk52k-sim: %lld frames sent, %lld dropped while nobody read the line%s\n", sent,
                 dropped, gone ? "; the reader went away" : "");
    ::close(sink.fd);
    if (sink.slaveFd >= 0)
        ::close(sink.slaveFd);
    return 0;
}
