#include "Journal.h"

#include <QtEndian>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zdb {

bool standardOutputIsJournal()
{
    // The service manager names the stream it connected as "device:inode".
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream.isEmpty() || ::fstat(STDOUT_FILENO, &st) != 0)
        return false;
    return stream == QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

bool sendToJournal(const QList<std::pair<QByteArray, QByteArray>> &fields)
{
    QByteArray datagram;
    for (const auto &[name, value] : fields) {
        datagram += name;
        if (value.contains('\n')) {
            // A value with a newline goes with its length before it.
            const quint64 size = qToLittleEndian(quint64(value.size()));
            datagram += '\n';
            datagram.append(reinterpret_cast<const char *>(&size), sizeof size);
        } else {
            datagram += '=';
        }
        datagram += value;
        datagram += '\n';
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    static const char kSocket[] = "/run/systemd/journal/socket";
    std::memcpy(to.sun_path, kSocket, sizeof kSocket);
    const ssize_t sent = ::sendto(fd, datagram.constData(), size_t(datagram.size()), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&to), sizeof to);
    ::close(fd);
    return sent == datagram.size();
}

} // namespace zdb
