#include "EngineMain.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zdb {

namespace {

// Writes events to the window without ever waiting on it: a window that has
// gone or stopped reading must not hold the database down. Progress is
// dropped while earlier lines wait; everything else is kept in order.
class EventWriter : public EventOutput {
public:
    // The pipe leaves standard output for a descriptor that nothing started
    // from here inherits: a command or a daemon holding it would write into
    // the window's events, or keep the window from seeing the end.
    EventWriter() : fd_(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3))
    {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd_ < 0 || null < 0) {
            gone_ = true;
        } else {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDIN_FILENO);
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        }
        if (null >= 0)
            ::close(null);
    }
    ~EventWriter() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    EventWriter(const EventWriter &) = delete;
    EventWriter &operator=(const EventWriter &) = delete;

    void write(const RunEvent &event) override
    {
        if (gone_)
            return;
        if (event.kind == RunEvent::Progress && !pending_.isEmpty() && !flush())
            return;
        pending_ += encodeEvent(event);
        flush();
    }
    // At the end: a reader still there gets every line, within a bound.
    void finish() override
    {
        for (int waited = 0; !gone_ && !pending_.isEmpty() && waited < 60000; waited += 100) {
            if (flush())
                break;
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    bool gone() const { return gone_; }

private:
    bool flush()
    {
        while (!pending_.isEmpty()) {
            const ssize_t n = ::write(fd_, pending_.constData(), size_t(pending_.size()));
            if (n > 0) {
                pending_.remove(0, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return false;
            gone_ = true; // EPIPE: the window has gone
            pending_.clear();
            return false;
        }
        return true;
    }

    int fd_;
    QByteArray pending_;
    bool gone_ = false;
};

} // namespace

std::unique_ptr<EventOutput> openEventOutput() { return std::make_unique<EventWriter>(); }

} // namespace zdb
