// A stand-in server for the client tests: listens on a port, records every byte and
// every message it receives, and answers the messages that wait for a reply through a
// callback. Runs in its own thread so that the client under test can block on it.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SProtocol.hpp"
#include "SReqObj.hpp"
#include "Socket.hpp"

class FakeServer {
 public:
  // Returns the raw reply bytes for a message (empty: send nothing).
  using Answer = std::function<std::string(const SReqObj& message)>;

  explicit FakeServer(int port, Answer answer = {}) : answer_(std::move(answer)) {
    std::string error;
    listenFd_ = Socket_Listen(port, 8, error);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
    Socket_Close(listenFd_);
  }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  bool listening() const { return listenFd_ >= 0; }
  int port() const { return Socket_LocalPort(listenFd_); }

  // The encoding of a success or error reply, with its line feed.
  static std::string Wire(const SReqObj& reply) {
    std::string w;
    SReqObj_Send(reply, w);
    w.push_back('\n');
    return w;
  }

  // Waits until at least n messages have arrived; false after ms.
  bool WaitForMessages(std::size_t n, int ms = 3000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return messages_.size() >= n; });
  }
  std::vector<SReqObj> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::string bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  int connections() const { return connections_; }
  // Closes the current connection (as a server that went away would).
  void DropConnection() { drop_ = true; }

 private:
  void Serve() {
    int fd = -1;
    std::string input;
    while (!stop_) {
      if (drop_ && fd >= 0) {
        Socket_Close(fd);
        input.clear();
        drop_ = false;
      }
      pollfd p[2] = {{listenFd_, POLLIN, 0}, {fd, POLLIN, 0}};
      if (::poll(p, fd >= 0 ? 2 : 1, 20) <= 0) continue;
      if (p[0].revents & POLLIN) {
        const int next = Socket_Accept(listenFd_, nullptr);
        if (next >= 0) {
          Socket_Close(fd);
          fd = next;
          input.clear();
          ++connections_;
          continue;
        }
      }
      if (fd < 0 || !(p[1].revents & (POLLIN | POLLHUP))) continue;
      char buffer[65536];
      const long n = Socket_Read(fd, buffer, sizeof buffer);
      if (n == 0 || n == -1) {
        Socket_Close(fd);
        continue;
      }
      if (n < 0) continue;
      input.append(buffer, static_cast<std::size_t>(n));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.append(buffer, static_cast<std::size_t>(n));
      }
      for (;;) {
        SReqObj m;
        std::size_t used = 0;
        if (SReqObj_ReceiveMessage(input, &m, used) != SReqObj_Result::Complete) break;
        input.erase(0, used);
        std::string reply;
        SProtocol_Message split;
        if (answer_ && SProtocol_SplitMessage(m, split) && !split.noReply) reply = answer_(m);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          messages_.push_back(m);
        }
        arrived_.notify_all();
        if (!reply.empty()) Socket_WriteAll(fd, reply.data(), reply.size());
      }
    }
    Socket_Close(fd);
  }

  Answer answer_;
  int listenFd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> drop_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<SReqObj> messages_;
  std::string bytes_;
};
