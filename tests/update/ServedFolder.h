// The update server run in-process on a free loopback port over a folder, its log kept for the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "LoopbackServer.h"
#include "tools/update-server/UpdateServer.h"

namespace served {

class Server {
 public:
  // Serves `root` with `opt` (its root, port and log are set here); the log goes to `logPath`.
  Server(const std::string& root, const std::string& logPath, UpdateServerOptions opt = {}) {
    // The server flushes each line, so a reader of the file sees every line it has written.
    log_ = std::fopen(logPath.c_str(), "a");
    logPath_ = logPath;
    opt.root = root;
    opt.port = 0;
    opt.log = log_;
    server_ = std::make_unique<UpdateServer>(opt);
    std::string error;
    listening_ = log_ && server_->Listen(&error);
    EXPECT_TRUE(listening_) << error;
    if (listening_) thread_ = std::thread([this] { server_->Run(); });
  }
  ~Server() {
    server_->Stop();
    if (thread_.joinable()) thread_.join();
    if (log_) std::fclose(log_);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool listening() const { return listening_; }
  int port() const { return server_->Port(); }

  // Read through a handle of its own: moving and reading the server's own stream while its
  // thread writes can drop a line that is written in between (seen under load).
  std::string Log() {
    std::ifstream in(logPath_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Waits (bounded) until the log holds `text`.
  bool LogSays(const std::string& text) {
    return loopback::WaitFor([&] { return Log().find(text) != std::string::npos; }, std::chrono::seconds(60));
  }
  // How often the log holds `text`.
  int Count(const std::string& text) {
    const std::string log = Log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

 private:
  FILE* log_ = nullptr;
  std::string logPath_;
  std::unique_ptr<UpdateServer> server_;
  std::thread thread_;
  bool listening_ = false;
};

}  // namespace served
