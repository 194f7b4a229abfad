// Membership in the process-wide Winsock start-up count of the socket
// components: the first member starts Winsock (version 2.2, else 1.1), the
// last one to leave cleans it up.
#pragma once

#include <mutex>

#include "platform/sockets.h"

namespace gavio {

class WsaMembership {
 public:
  WsaMembership() {
    std::lock_guard<std::mutex> lock(Mutex());
    if (Count()++ == 0) {
      WSADATA data;
      if (WSAStartup(MAKEWORD(2, 2), &data) != 0) WSAStartup(MAKEWORD(1, 1), &data);
    }
  }
  ~WsaMembership() {
    std::lock_guard<std::mutex> lock(Mutex());
    if (--Count() == 0) WSACleanup();
  }
  WsaMembership(const WsaMembership&) = delete;
  WsaMembership& operator=(const WsaMembership&) = delete;

 private:
  static std::mutex& Mutex() {
    static auto* mutex = new std::mutex;  // members may outlive static destructors
    return *mutex;
  }
  static int& Count() {
    static int count = 0;
    return count;
  }
};

}  // namespace gavio
