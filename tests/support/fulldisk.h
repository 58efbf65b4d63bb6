#pragma once

// Makes this process's writes past the first `bytes` of any file fail with
// ENOSPC-like errors, the way a full disk fails them, until lift() or the
// end of the scope. No mount or root needed.
#include <csignal>
#include <sys/resource.h>

class FullDisk
{
public:
    explicit FullDisk(long long bytes)
    {
        m_set = ::getrlimit(RLIMIT_FSIZE, &m_old) == 0;
        // Past the limit the kernel sends SIGXFSZ; ignored, the write fails.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit full = {static_cast<rlim_t>(bytes), m_old.rlim_max};
        m_set = m_set && ::setrlimit(RLIMIT_FSIZE, &full) == 0;
    }
    ~FullDisk() { lift(); }
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

    /// Whether the limit took effect.
    bool isSet() const { return m_set; }

    /// Space again: the old limit is back. True when it could be restored.
    bool lift()
    {
        if (!m_set)
            return true;
        m_set = false;
        return ::setrlimit(RLIMIT_FSIZE, &m_old) == 0;
    }

private:
    rlimit m_old = {};
    bool m_set = false;
};
