// The socket library's waits over several objects, and its free-standing wake-up events.
#include "platform/last_error.h"
#include "remote/sock/sock.h"
#include "remote/sock/sock_internal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

using namespace sock_detail;

namespace {

constexpr int kMaxWaitObjects = 64;

bool IsEvent(const Sock* event) {
  if (event && event->kind == SOCK_KIND_EVENT) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

}  // namespace

// An eventfd stays readable while its counter is above 0: that is the "set" state, which only a
// reset (a read that empties the counter) ends.
std::unique_ptr<Sock> SockEventCreate(BOOL signalled) {
  const int fd = ::eventfd(signalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, nullptr);
    return nullptr;
  }
  auto event = std::make_unique<Sock>(fd);
  event->kind = SOCK_KIND_EVENT;
  return event;
}

BOOL SockEventClose(std::unique_ptr<Sock>& event) {
  if (!IsEvent(event.get())) return FALSE;
  event.reset();
  return TRUE;
}

BOOL SockEventSet(Sock* event) {
  if (!IsEvent(event)) return FALSE;
  const std::uint64_t one = 1;
  for (;;) {
    if (::write(event->Fd(), &one, sizeof one) == sizeof one) return TRUE;
    if (errno == EAGAIN) return TRUE;  // the counter is full: set all the same
    if (errno != EINTR) break;
  }
  SetLastErrorFromErrno(errno, nullptr);
  return FALSE;
}

BOOL SockEventReset(Sock* event) {
  if (!IsEvent(event)) return FALSE;
  std::uint64_t count = 0;
  for (;;) {
    if (::read(event->Fd(), &count, sizeof count) == sizeof count || errno == EAGAIN) return TRUE;
    if (errno != EINTR) break;
  }
  SetLastErrorFromErrno(errno, nullptr);
  return FALSE;
}

BOOL SockEventWait(Sock* event, int ms) {
  if (!IsEvent(event)) return FALSE;
  return Wait(event->Fd(), POLLIN, ms) > 0 ? TRUE : FALSE;
}

int SockWaitMany(Sock* const* objects, int count, int ms, int start) {
  if (!objects || count < 1 || count > kMaxWaitObjects) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  pollfd fds[kMaxWaitObjects];
  for (int i = 0; i < count; ++i) fds[i] = pollfd{objects[i] ? objects[i]->Fd() : -1, POLLIN, 0};
  const auto deadline = DeadlineIn(ms);
  for (;;) {
    const int rc = ::poll(fds, static_cast<nfds_t>(count), ms < 0 ? -1 : MsLeft(deadline));
    if (rc == 0) {
      SetLastError(ERROR_TIMEOUT);
      return -1;
    }
    if (rc > 0) break;
    if (errno != EINTR) {
      SetLastErrorFromErrno(errno, nullptr);
      return -1;
    }
  }
  if (start < 0 || start >= count) start = 0;
  for (int k = 0; k < count; ++k) {
    const int i = (start + k) % count;
    if (fds[i].revents != 0) return i;
  }
  return -1;
}

BOOL SockSleep(Sock* sock, int ms) {
  if (ms == 12345678) ms = 5000;
  if (!sock) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms < 0 ? 0 : ms));
    return FALSE;
  }
  return Wait(sock->Fd(), POLLIN, ms < 0 ? 0 : ms) > 0 ? TRUE : FALSE;
}
