// Line ping-pong over loopback: round trips per second between a client and
// an echo server, each a process of its own with a poller thread and a
// worker thread (the shape of a bus client), against the same ping-pong with
// plain blocking sockets, in the same run.
//
//   build/bench/benchmarks/bench_net [round trips, default 20000]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "mem.h"
#include "netfuncs.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kLine[] = "ping 0123456789abcdef\n";

// Wakes the worker on every event the poller reports for its descriptor.
struct Waiter {
  std::mutex m;
  std::condition_variable cv;
  uint64_t events = 0;
  static void callback(int, int, void *param) {
    Waiter *w = static_cast<Waiter *>(param);
    std::lock_guard<std::mutex> lock(w->m);
    w->events++;
    w->cv.notify_all();
  }
  uint64_t seen() {
    std::lock_guard<std::mutex> lock(m);
    return events;
  }
  void waitPast(uint64_t before) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return events != before; });
  }
};

struct Poller {
  std::atomic<bool> stop{false};
  std::thread thread{[this] {
    while (!stop) netPoll(100000);
  }};
  ~Poller() {
    stop = true;
    netPollRescan(0);
    thread.join();
  }
};

int readLine(int fd, int out, Waiter &w) {
  for (;;) {
    uint64_t before = w.seen();
    int r = netRead(fd, out);
    if (r != 0) return r;
    w.waitPast(before);
  }
}

void writeLine(int fd, const char *line, Waiter &w) {
  uint64_t before = w.seen();
  int r = netWrite(fd, line);
  while (r == 0) {
    w.waitPast(before);
    before = w.seen();
    r = netWrite(fd, nullptr);
  }
}

// ---- our layer ----------------------------------------------------------------

void layerEchoServer(int portPipe) {
  memInit();
  netInit();
  Waiter w;
  int lfd = netListen(0);
  netSetCallback(lfd, Waiter::callback, &w);
  struct sockaddr_in a = {};
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
  int port = ntohs(a.sin_port);
  if (write(portPipe, &port, sizeof port) != sizeof port) _exit(1);
  Poller poller;
  int conn = 0;
  while (conn <= 0) {
    uint64_t before = w.seen();
    conn = netAccept(lfd);
    if (conn == 0) w.waitPast(before);
  }
  netSetCallback(conn, Waiter::callback, &w);
  int out = memAlloc(0);
  while (readLine(conn, out, w) == 1) {
    std::string line = static_cast<char *>(memGetData(out));
    line += "\n";
    writeLine(conn, line.c_str(), w);
  }
  _exit(0);
}

double layerClient(int port, int rounds, std::vector<double> &latencies) {
  memInit();
  netInit();
  Waiter w;
  Poller poller;
  int fd = netConnect("127.0.0.1", port);
  netSetCallback(fd, Waiter::callback, &w);
  for (uint64_t before = w.seen(); !netConnected(fd); before = w.seen()) w.waitPast(before);
  int out = memAlloc(0);
  Clock::time_point start = Clock::now();
  for (int i = 0; i < rounds; i++) {
    Clock::time_point t0 = Clock::now();
    writeLine(fd, kLine, w);
    if (readLine(fd, out, w) != 1) return -1;
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  netClose(fd);
  return rounds / seconds;
}

// ---- plain blocking sockets ---------------------------------------------------

void plainEchoServer(int portPipe) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  listen(lfd, 5);
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
  int port = ntohs(a.sin_port);
  if (write(portPipe, &port, sizeof port) != sizeof port) _exit(1);
  int conn = accept(lfd, nullptr, nullptr);
  char buf[4096];
  ssize_t n;
  while ((n = recv(conn, buf, sizeof buf, 0)) > 0) send(conn, buf, n, 0);
  _exit(0);
}

double plainClient(int port, int rounds, std::vector<double> &latencies) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
  char buf[4096];
  size_t lineLength = strlen(kLine);
  Clock::time_point start = Clock::now();
  for (int i = 0; i < rounds; i++) {
    Clock::time_point t0 = Clock::now();
    send(fd, kLine, lineLength, 0);
    size_t got = 0;
    while (got < lineLength) {
      ssize_t n = recv(fd, buf + got, sizeof buf - got, 0);
      if (n <= 0) return -1;
      got += n;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  return rounds / seconds;
}

// Runs server(portPipe) in a child and client(port) here, in a child too so
// that each side is a fresh process.
template <typename Server, typename ClientFn>
double run(Server server, ClientFn client, int rounds, std::vector<double> &latencies) {
  int ports[2], result[2];
  if (pipe(ports) != 0 || pipe(result) != 0) return -1;
  pid_t serverPid = fork();
  if (serverPid == 0) server(ports[1]);
  int port = 0;
  if (read(ports[0], &port, sizeof port) != sizeof port) return -1;
  pid_t clientPid = fork();
  if (clientPid == 0) {
    std::vector<double> lat;
    double rate = client(port, rounds, lat);
    std::sort(lat.begin(), lat.end());
    double figures[3] = {rate, lat.empty() ? 0 : lat[lat.size() / 2],
                         lat.empty() ? 0 : lat[lat.size() * 99 / 100]};
    if (write(result[1], figures, sizeof figures) != sizeof figures) _exit(1);
    _exit(0);
  }
  double figures[3] = {-1, 0, 0};
  if (read(result[0], figures, sizeof figures) != sizeof figures) figures[0] = -1;
  waitpid(clientPid, nullptr, 0);
  kill(serverPid, SIGKILL);
  waitpid(serverPid, nullptr, 0);
  latencies = {figures[1], figures[2]};
  return figures[0];
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 20000;
  std::vector<double> ours, plain;
  // Alternate the two a few times; the machine is shared and noisy.
  double bestOurs = 0, bestPlain = 0;
  std::vector<double> oursLat, plainLat;
  for (int i = 0; i < 3; i++) {
    std::vector<double> lat;
    double r = run(plainEchoServer, plainClient, rounds, lat);
    if (r > bestPlain) bestPlain = r, plainLat = lat;
    r = run(layerEchoServer, layerClient, rounds, lat);
    if (r > bestOurs) bestOurs = r, oursLat = lat;
  }
  printf("ping-pong, plain blocking sockets: %.0f round trips/s (p50 %.1f us, p99 %.1f us)\n",
         bestPlain, plainLat.size() > 1 ? plainLat[0] : 0, plainLat.size() > 1 ? plainLat[1] : 0);
  printf("ping-pong, nk socket layer:        %.0f round trips/s (p50 %.1f us, p99 %.1f us)\n",
         bestOurs, oursLat.size() > 1 ? oursLat[0] : 0, oursLat.size() > 1 ? oursLat[1] : 0);
  printf("ratio nk / plain: %.2f (target >= 0.50)\n", bestPlain > 0 ? bestOurs / bestPlain : 0);
  return 0;
}
