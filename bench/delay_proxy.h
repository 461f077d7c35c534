// A UDP relay on 127.0.0.1 that holds every datagram for a fixed time in each direction, so that
// an agent on loopback answers like a unit further away. Each client gets an upstream socket of
// its own, so any number of clients may use the relay at once. The relay runs on its own thread
// from construction until destruction; every wait in it is bounded (20 ms), so it stops at once.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

class DelayProxy {
 public:
  using Clock = std::chrono::steady_clock;

  DelayProxy(uint16_t agent_port, std::chrono::microseconds one_way) : delay_(one_way) {
    agent_ = Loopback(agent_port);
    front_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = Loopback(0);
    if (front_ < 0 || bind(front_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return;
    socklen_t len = sizeof any;
    if (getsockname(front_, reinterpret_cast<sockaddr*>(&any), &len) != 0) return;
    port_ = ntohs(any.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~DelayProxy() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& c : clients_) close(c.second);
    if (front_ >= 0) close(front_);
  }
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  uint16_t port() const { return port_; }  // 0 when the relay could not start

 private:
  struct Held {
    Clock::time_point due;
    int fd;          // the socket to send it from
    sockaddr_in to;  // for the front socket: the client; otherwise unused (connected)
    std::vector<unsigned char> data;
  };
  using Address = std::pair<uint32_t, uint16_t>;

  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

  void Serve() {
    std::vector<unsigned char> buf(65536);
    std::map<int, sockaddr_in> client_of;  // upstream socket -> its client
    while (!stop_) {
      std::vector<pollfd> fds{{front_, POLLIN, 0}};
      for (auto& c : client_of) fds.push_back({c.first, POLLIN, 0});
      int wait_ms = 20;
      if (!held_.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(held_.front().due - Clock::now());
        wait_ms = static_cast<int>(std::clamp<long long>(left.count(), 0, 20));
      }
      if (poll(fds.data(), fds.size(), wait_ms) > 0) {
        const auto due = Clock::now() + delay_;
        for (const pollfd& p : fds) {
          if ((p.revents & (POLLIN | POLLERR)) == 0) continue;
          sockaddr_in from{};
          socklen_t from_len = sizeof from;
          const ssize_t n = recvfrom(p.fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &from_len);
          if (n < 0) continue;
          std::vector<unsigned char> data(buf.begin(), buf.begin() + n);
          if (p.fd == front_) {
            const Address key(from.sin_addr.s_addr, from.sin_port);
            auto it = clients_.find(key);
            if (it == clients_.end()) {
              const int up = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
              if (up < 0 ||
                  connect(up, reinterpret_cast<const sockaddr*>(&agent_), sizeof agent_) != 0) {
                if (up >= 0) close(up);
                continue;
              }
              it = clients_.emplace(key, up).first;
              client_of[up] = from;
            }
            held_.push_back({due, it->second, sockaddr_in{}, std::move(data)});
          } else {
            held_.push_back({due, front_, client_of[p.fd], std::move(data)});
          }
        }
      }
      const auto now = Clock::now();
      while (!held_.empty() && held_.front().due <= now) {  // one delay for all: FIFO is in order
        const Held& h = held_.front();
        if (h.fd == front_) {
          (void)sendto(front_, h.data.data(), h.data.size(), 0,
                       reinterpret_cast<const sockaddr*>(&h.to), sizeof h.to);
        } else {
          (void)send(h.fd, h.data.data(), h.data.size(), 0);
        }
        held_.pop_front();
      }
    }
  }

  const std::chrono::microseconds delay_;
  sockaddr_in agent_{};
  int front_ = -1;
  uint16_t port_ = 0;
  std::map<Address, int> clients_;  // client -> its upstream socket
  std::deque<Held> held_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
