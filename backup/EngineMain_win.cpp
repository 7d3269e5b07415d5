#include "EngineMain.h"

#include "Win32_win.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace zdb {

namespace {

// A thread of its own writes to the pipe, so that a window that stopped
// reading holds that thread alone, never the run.
class EventWriter : public EventOutput {
public:
    EventWriter()
    {
        // The pipe leaves standard output for a handle nothing started from
        // here inherits.
        HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        HANDLE own = nullptr;
        if (out && out != INVALID_HANDLE_VALUE
            && ::DuplicateHandle(::GetCurrentProcess(), out, ::GetCurrentProcess(), &own, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS)) {
            pipe_.reset(own);
            ::CloseHandle(out);
            ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
            writer_ = std::thread([this] { drain(); });
        } else {
            gone_ = true;
        }
    }
    ~EventWriter() override
    {
        {
            const std::lock_guard lock(mutex_);
            ending_ = true;
        }
        wake_.notify_all();
        // A writer blocked on a reader that never reads is left behind.
        if (writer_.joinable()) {
            ::CancelSynchronousIo(::pthread_gethandle(writer_.native_handle()));
            writer_.detach();
        }
    }
    EventWriter(const EventWriter &) = delete;
    EventWriter &operator=(const EventWriter &) = delete;

    void write(const RunEvent &event) override
    {
        const std::lock_guard lock(mutex_);
        if (gone_ || (event.kind == RunEvent::Progress && (busy_ || !lines_.empty())))
            return;
        lines_.push_back(encodeEvent(event));
        wake_.notify_all();
    }
    void finish() override
    {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::seconds(60), [this] { return gone_ || (lines_.empty() && !busy_); });
    }

private:
    void drain()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return ending_ || !lines_.empty(); });
            if (lines_.empty())
                return;
            const QByteArray line = std::move(lines_.front());
            lines_.pop_front();
            busy_ = true;
            lock.unlock();
            bool ok = true;
            for (qsizetype off = 0; ok && off < line.size();) {
                DWORD n = 0;
                ok = ::WriteFile(pipe_.get(), line.constData() + off, DWORD(line.size() - off), &n, nullptr);
                off += n;
            }
            lock.lock();
            busy_ = false;
            if (!ok) {
                // The window has gone.
                gone_ = true;
                lines_.clear();
            }
            wake_.notify_all();
        }
    }

    win::Handle pipe_;
    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<QByteArray> lines_;
    bool busy_ = false, gone_ = false, ending_ = false;
};

} // namespace

std::unique_ptr<EventOutput> openEventOutput() { return std::make_unique<EventWriter>(); }

} // namespace zdb
