// tk52k-decode: turns a capture of the meter's serial bytes into one JSON
// object per frame, for people who recorded the line with another program.

#include "framejson.h"

#include "core/meter/framedecoder.h"
#include "core/meter/frameextractor.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <string>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr int kReadChunk = 1 << 20;
constexpr size_t kFlushAt = 1 << 20;

const char kUsage[] =
    "Usage: tk52k-decode [--fixed] [FILE]\n"
    "Decodes the meter's 14-byte frames from FILE (or standard input when FILE\n"
    "is missing or \"-\") and writes one JSON object per frame and line.\n"
    "\n"
    "  --fixed   cut the bytes into consecutive 14-byte blocks instead of\n"
    "            cutting at line feeds the way the program's receiver does\n"
    "  --help    show this text\n"
    "  --version show the program's version\n"
    "\n"
    "Exit status: 0 when the input was read to its end, 1 when it could not\n"
    "be read or the output not written, 2 for a wrong command line.\n";

class Output
{
public:
    Output() { m_text.reserve(kFlushAt + 4096); }

    void add(const QByteArray &frame)
    {
        appendFrameJson(m_text, decodeMeterFrame(frame), frame);
        if (m_text.size() >= kFlushAt)
            flush();
    }

    bool flush()
    {
        if (!m_text.empty() && std::fwrite(m_text.data(), 1, m_text.size(), stdout) != m_text.size())
            m_failed = true;
        m_text.clear();
        return !m_failed;
    }

    bool finish() { return flush() && std::fflush(stdout) == 0 && !m_failed; }

private:
    std::string m_text;
    bool m_failed = false;
};

int usageError(const char *message, const char *arg)
{
    std::fprintf(stderr, "tk52k-decode: %s%s\n%s", message, arg, kUsage);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    bool fixed = false;
    const char *path = nullptr;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (!optionsDone && (arg == "--help" || arg == "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!optionsDone && arg == "--version") {
            std::puts("tk52k-decode " TK52K_VERSION);
            return 0;
        }
        if (!optionsDone && arg == "--fixed") {
            fixed = true;
        } else if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg.startsWith('-') && arg != "-") {
            return usageError("unknown option ", argv[i]);
        } else if (path) {
            return usageError("more than one input file: ", argv[i]);
        } else {
            path = argv[i];
        }
    }

#ifdef Q_OS_WIN
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif

    QFile in;
    const bool fromStdin = !path || QByteArray(path) == "-";
    const QString name = fromStdin ? QStringLiteral("standard input") : QString::fromLocal8Bit(path);
    bool opened;
    if (fromStdin) {
        opened = in.open(stdin, QIODevice::ReadOnly);
    } else {
        in.setFileName(name);
        opened = in.open(QIODevice::ReadOnly);
    }
    if (!opened) {
        std::fprintf(stderr, "tk52k-decode: cannot read %s: %s\n", qPrintable(name),
                     qPrintable(in.errorString()));
        return 1;
    }

    Output out;
    FrameSplitter splitter;
    QByteArray carry; // --fixed: the start of a block split across reads
    QByteArray chunk(kReadChunk, Qt::Uninitialized);
    QByteArray frame;
    for (;;) {
        const qint64 n = in.read(chunk.data(), chunk.size());
        if (n < 0) {
            std::fprintf(stderr, "tk52k-decode: cannot read %s: %s\n", qPrintable(name),
                         qPrintable(in.errorString()));
            out.finish();
            return 1;
        }
        if (n == 0)
            break;
        if (fixed) {
            const char *p = chunk.constData();
            qint64 left = n;
            if (!carry.isEmpty()) {
                const int need = int(qMin<qint64>(kFrameSize - carry.size(), left));
                carry.append(p, need);
                p += need;
                left -= need;
                if (carry.size() == kFrameSize) {
                    out.add(carry);
                    carry.clear();
                }
            }
            for (; left >= kFrameSize; p += kFrameSize, left -= kFrameSize)
                out.add(QByteArray::fromRawData(p, kFrameSize));
            carry.append(p, int(left));
        } else {
            splitter.feed(chunk.constData(), int(n));
            while (splitter.next(frame))
                out.add(frame);
        }
        if (!out.flush())
            break;
    }

    if (!fixed) {
        // A line feed near the end may still close a frame of noise.
        splitter.finish();
        while (splitter.next(frame))
            out.add(frame);
    }
    const int leftOver = fixed ? carry.size() : splitter.pendingBytes();
    if (!out.finish()) {
        std::fprintf(stderr, "tk52k-decode: cannot write the output\n");
        return 1;
    }
    if (leftOver > 0)
        std::fprintf(stderr, "tk52k-decode: %d byte(s) after the last frame were not decoded\n",
                     leftOver);
    return 0;
}
