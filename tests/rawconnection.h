// rawconnection.h -- a plain TCP connection to the bus on 127.0.0.1:4242, for
// tests that need exact bytes or a misbehaving peer.
#ifndef NK_TESTS_RAWCONNECTION_H
#define NK_TESTS_RAWCONNECTION_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "nkmsg.h"

namespace nktest {

class RawConnection {
 public:
  RawConnection() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // not for the programs we start
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(MSG_PORT);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    struct timeval tv = {10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
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
    char c;
    while (recv(fd_, &c, 1, 0) == 1) {
      l += c;
      if (c == '\n') break;
    }
    return l;
  }
  // The server closing with our bytes unread shows as a reset.
  bool closedByPeer() {
    char c;
    ssize_t n = recv(fd_, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

 private:
  int fd_;
};

}  // namespace nktest

#endif  // NK_TESTS_RAWCONNECTION_H
