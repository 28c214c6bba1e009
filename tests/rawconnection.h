// rawconnection.h -- a plain TCP connection to the bus on 127.0.0.1:4242, for
// tests that need exact bytes or a misbehaving peer.
#ifndef NK_TESTS_RAWCONNECTION_H
#define NK_TESTS_RAWCONNECTION_H

#include <errno.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "nkmsg.h"
#include "nktest.h"

namespace nktest {

class RawConnection {
 public:
  // With a uid (the test runs as root), the socket is made under that
  // filesystem uid, which the kernel records as its owner: the bus sees a
  // connection of that user.
  explicit RawConnection(int uid = -1) : fd_(connectAs(uid)) { EXPECT_GE(fd_, 0); }
  ~RawConnection() { close(fd_); }
  RawConnection(const RawConnection &) = delete;
  RawConnection &operator=(const RawConnection &) = delete;

  void send(const std::string &s) { ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
  // Registers name with seq 1 and expects the server's type-0 answer.
  void registerAs(const std::string &name) {
    send("base," + name + ",100,1,\r\n");
    EXPECT_EQ(line(), name + ",base,0,1,\r\n");
  }
  // The next line with its line end; "" at end of stream or after 10 s.
  std::string line() {
    std::string l;
    for (char c = 0; c != '\n' && recv(fd_, &c, 1, 0) == 1;) l += c;
    return l;
  }
  // The server closing with our bytes unread shows as a reset.
  bool closedByPeer() {
    char c;
    ssize_t n = recv(fd_, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

 private:
  static int connectAs(int uid) {
    if (uid < 0) return connectLocal(MSG_PORT);
    int before = setfsuid(static_cast<uid_t>(uid));  // this thread only
    int fd = connectLocal(MSG_PORT);
    setfsuid(static_cast<uid_t>(before));
    return fd;
  }
  int fd_;
};

}  // namespace nktest

#endif  // NK_TESTS_RAWCONNECTION_H
