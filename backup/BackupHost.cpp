#include "BackupHost.h"

namespace zdb {

RunEvent RunChannel::take()
{
    RunEvent e = queue_.front();
    queue_.pop_front();
    return e;
}

void RunChannel::push(const RunEvent &event)
{
    queue_.push_back(event);
    emit arrived();
}

void RunChannel::end()
{
    if (ended_)
        return;
    ended_ = true;
    emit arrived();
}

} // namespace zdb
