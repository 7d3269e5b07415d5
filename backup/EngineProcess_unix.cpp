#include "HostBackups.h"

#include "FileOps.h"
#include "PlatformError.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

namespace zdb {

namespace {

// Reads the engine's events from the pipe as they come.
class EngineChannel : public RunChannel {
public:
    explicit EngineChannel(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, this, [this] { readMore(); });
    }
    ~EngineChannel() override
    {
        // Closing our end only tells the engine nobody listens; it goes on.
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    void readMore()
    {
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                pending_.append(buffer, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                break;
            // The engine has ended, or is gone.
            notifier_.setEnabled(false);
            ::close(fd_);
            fd_ = -1;
            break;
        }
        for (qsizetype nl; (nl = pending_.indexOf('\n')) >= 0;) {
            const QByteArray line = pending_.left(nl);
            pending_.remove(0, nl + 1);
            if (const auto event = decodeEvent(line))
                push(*event);
        }
        if (fd_ < 0)
            end();
    }

    int fd_;
    QSocketNotifier notifier_;
    QByteArray pending_;
};

void closeBoth(int p[2])
{
    ::close(p[0]);
    ::close(p[1]);
}

} // namespace

std::unique_ptr<RunChannel> startEngineProcess(const QString &program, const BackupRequest &request)
{
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        throw PlatformError(errorNumberForErrno(errno, false));
    if (::pipe2(out, O_CLOEXEC) != 0) {
        const int err = errno;
        closeBoth(in);
        throw PlatformError(errorNumberForErrno(err, false));
    }
    QByteArray exe = QFile::encodeName(program);
    QByteArray flag("--engine");
    char *const argv[] = {exe.data(), flag.data(), nullptr};

    const pid_t child = ::fork();
    if (child == 0) {
        // A session of its own and, through a second fork, no parent that
        // waits for it: neither a closed terminal nor the window's end reaches it.
        ::setsid();
        const pid_t engine = ::fork();
        if (engine != 0)
            ::_exit(engine < 0 ? 1 : 0);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
            ::signal(sig, SIG_DFL);
        ::execv(exe.constData(), argv);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(in[0]);
    ::close(out[1]);
    if (child < 0) {
        ::close(in[1]);
        ::close(out[0]);
        throw PlatformError(errorNumberForErrno(forkError, false));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}

    // An engine gone before it read its request must not end the window.
    ::signal(SIGPIPE, SIG_IGN);
    // The request is small enough for the pipe; the engine reads it whole.
    const QByteArray line = encodeRequest(request);
    for (qsizetype off = 0; off < line.size();) {
        const ssize_t n = ::write(in[1], line.constData() + off, size_t(line.size() - off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        off += n;
    }
    ::close(in[1]);
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    // A request the engine cannot read ends its run before it touches anything.
    return std::make_unique<EngineChannel>(out[0]);
}

} // namespace zdb
