// The platform's socket headers, for the sources that call the socket API
// beside host/sockets.h (the network link, the tools' sockets), and the
// names in which the two APIs' types differ. Internal.
#ifndef KESTREL_HOST_SOCKET_API_H
#define KESTREL_HOST_SOCKET_API_H

#include <cstddef>

#include "host/sockets.h"

#if defined(_WIN32)
#include "host/win32.h"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace Corvus::net {

#if defined(_WIN32)
using SockLen = int;
using PollFd = WSAPOLLFD;
constexpr short kPollIn = POLLRDNORM;
#else
using SockLen = socklen_t;
using PollFd = pollfd;
constexpr short kPollIn = POLLIN;
#endif

// poll, or WSAPoll: the number of entries ready, 0 on timeout, -1 on failure.
// An interrupted call is not tried again (Interrupted tells).
int Poll(PollFd* fds, std::size_t count, int timeout_ms);

}  // namespace Corvus::net

#endif  // KESTREL_HOST_SOCKET_API_H
