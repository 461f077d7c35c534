// A UDP socket bound to a free port on 127.0.0.1 that never answers: the stand-in for a unit
// that has gone dark. The test can read what reached it. Closed on destruction.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

class SilentUdpPeer {
 public:
  SilentUdpPeer() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
  }
  ~SilentUdpPeer() {
    if (fd_ >= 0) close(fd_);
  }
  SilentUdpPeer(const SilentUdpPeer&) = delete;
  SilentUdpPeer& operator=(const SilentUdpPeer&) = delete;

  bool ok() const { return port_ != 0; }
  int fd() const { return fd_; }
  unsigned short port() const { return port_; }
  // "127.0.0.1:PORT", as a device configuration names its unit.
  std::string peer() const { return "127.0.0.1:" + std::to_string(port_); }
  // Datagrams that reached the port since the last call (read without waiting).
  int Drain() const {
    char datagram[2048];
    int n = 0;
    while (recv(fd_, datagram, sizeof datagram, MSG_DONTWAIT) >= 0) ++n;
    return n;
  }
  // Drains until `count` datagrams have arrived or `limit` has passed; returns how many did.
  int AwaitDatagrams(int count, std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    int n = Drain();
    while (n < count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      n += Drain();
    }
    return n;
  }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};
