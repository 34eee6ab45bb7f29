// zelvora-update-server under hostile load and changing files: files replaced or linked while
// served, idle connections past the descriptor limit, readers that never read, crowds from one address.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "ArchiveFixtures.h"
#include "ServedFolder.h"
#include "ServerProgram.h"
#include "ServerSession.h"
#include "Signing.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace std::chrono_literals;

namespace {

// A signed section and an in-process server over it, with options the test chooses.
class Publisher : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!signing::HaveMinisign(), "minisign is not installed");
    ASSERT_TRUE(key.ok()) << key.output();
  }
  void Start(UpdateServerOptions opt = {}) {
    server = std::make_unique<served::Server>(dir.file("root"), dir.file("server-log.txt"), opt);
    ASSERT_TRUE(server->listening());
  }
  std::string Log() { return server->Log(); }
  bool LogSays(const std::string& text) { return server->LogSays(text); }
  std::string Published(const std::string& name) const { return dir.file("root/s/files/" + name); }
  // Publishes `files` in section s, each as a U line in folder M, signed with version `time`.
  void Publish(const std::vector<std::pair<std::string, std::string>>& files, int64_t time = 1765432100) {
    std::string manifest;
    for (const auto& [name, bytes] : files) {
      fs::create_directories(fs::path(Published(name)).parent_path());
      WriteFile(Published(name), bytes);
      const size_t slash = name.rfind('/');
      const std::string sub = slash == std::string::npos ? "" : name.substr(0, slash);
      const std::string base = name.substr(slash == std::string::npos ? 0 : slash + 1);
      ASSERT_TRUE(key.Sign(Published(name), signing::FileComment("s", 'M', sub, base, time)));
      manifest += "U\tM\t" + sub + "\t" + base + "\n";
    }
    WriteFile(dir.file("root/s/manifest.tsv"), manifest);
    ASSERT_TRUE(key.Sign(dir.file("root/s/manifest.tsv"), signing::ManifestComment("s", time)));
  }

  TempDir dir;
  signing::KeyPair key;
  std::unique_ptr<served::Server> server;
};

// The CPU time (user + system) a process has used, in clock ticks; -1 when it cannot be read.
long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  long long utime = -1, stime = -1;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoll(f);
    if (i == 15) stime = std::stoll(f);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

}  // namespace

TEST_F(Publisher, FileReplacedDuringATransferIsNeverSentMixed) {
  struct Case {
    const char* what;
    bool inPlace;  // cp over the file (same inode, rewritten) or a complete copy renamed over it
  };
  const size_t size = 16u << 20;
  const std::string oldBytes = fixtures::Pattern(size, 1), newBytes = fixtures::Pattern(size, 2);
  for (const Case c : {Case{"written in place, as cp does", true}, Case{"renamed over it", false}}) {
    SCOPED_TRACE(c.what);
    Publish({{"big.bin", oldBytes}});
    if (!server) Start();
    // A small receive buffer keeps the server from sending the whole file before it changes.
    session::Session client(server->port(), 16384);
    std::vector<blocks::ListEntry> entries;
    ASSERT_TRUE(client.List("s", entries));
    ASSERT_EQ(entries.size(), 4u);
    ASSERT_TRUE(client.Ask({2}));
    session::Reply first = client.Next();
    ASSERT_EQ(first.marker, "_PFSAVE:");
    if (c.inPlace) {
      std::ofstream out(Published("big.bin"), std::ios::binary | std::ios::trunc);
      out.write(newBytes.data(), static_cast<std::streamsize>(newBytes.size()));
    } else {
      WriteFile(Published("big.bin.tmp"), newBytes);
      fs::rename(Published("big.bin.tmp"), Published("big.bin"));
    }
    std::map<int, std::string> files{{2, first.payload.substr(3)}};
    session::Reply last;
    const bool whole = client.Receive(files, &last);
    if (c.inPlace) {
      // The exchange ends with error 3, and what came before it was the old file only.
      EXPECT_FALSE(whole);
      EXPECT_EQ(last.marker, "_PERMSG:");
      EXPECT_EQ(last.payload, "3");
      EXPECT_LT(files[2].size(), size);
      EXPECT_TRUE(oldBytes.compare(0, files[2].size(), files[2]) == 0) << "a mix of the old and the new file was sent";
    } else {
      // The descriptor opened with the list still reads the old file, whole.
      EXPECT_TRUE(whole) << last.marker << " " << last.payload;
      EXPECT_TRUE(files[2] == oldBytes);
    }
    // Signed anew, the new file is served whole once the server has read the section again.
    ASSERT_TRUE(key.Sign(Published("big.bin"), signing::FileComment("s", 'M', "", "big.bin", 1765432200)));
    ASSERT_TRUE(loopback::WaitFor(
        [&] {
          session::Session next(server->port());
          return next.List("s", entries) && entries.size() == 4 && entries[2].time == 1765432200;
        },
        60s));
    session::Session next(server->port());
    ASSERT_TRUE(next.List("s", entries));
    ASSERT_TRUE(next.Ask({2}));
    files.clear();
    ASSERT_TRUE(next.Receive(files));
    EXPECT_TRUE(files[2] == newBytes);
  }
}

TEST_F(Publisher, LinkSwappedIntoFilesIsNotFollowed) {
  struct Case {
    const char* what;
    std::string replaced;  // below files/: swapped for a link to the same name outside
  };
  // An outsider's copy of sub/a, signed by the publisher's key even: a link must not lead to it.
  fs::create_directories(dir.file("outside/sub"));
  WriteFile(dir.file("outside/sub/a"), "outside");
  ASSERT_TRUE(key.Sign(dir.file("outside/sub/a"), signing::FileComment("s", 'M', "sub", "a", 1765432100)));
  for (const Case& c : {Case{"the folder", "sub"}, Case{"the file", "sub/a"}, Case{"the signature", "sub/a.minisig"}}) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir.file("root"));
    Publish({{"sub/a", "published"}});
    if (!server) Start();
    session::Session before(server->port());
    std::vector<blocks::ListEntry> entries;
    ASSERT_TRUE(before.List("s", entries));
    ASSERT_EQ(entries.size(), 4u);
    fs::remove_all(Published(c.replaced));
    fs::create_symlink(dir.file("outside/" + c.replaced), Published(c.replaced));
    // A client that listed before the swap gets what was listed.
    ASSERT_TRUE(before.Ask({2}));
    std::map<int, std::string> files;
    ASSERT_TRUE(before.Receive(files));
    EXPECT_EQ(files[2], "published");
    // Read again (the manifest signed anew), the line is refused and the link named.
    ASSERT_TRUE(key.Sign(dir.file("root/s/manifest.tsv"), signing::ManifestComment("s", 1765432300)));
    session::Session after(server->port());
    ASSERT_TRUE(after.List("s", entries));
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_TRUE(LogSays("is a link")) << Log();
  }
}

TEST_F(Publisher, ListIsBuiltOncePerManifestNotPerRequest) {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 20; ++i) files.push_back({"f" + std::to_string(i), "x"});
  Publish(files);
  Start();
  for (int i = 0; i < 5; ++i) {
    session::Session client(server->port());
    std::vector<blocks::ListEntry> entries;
    ASSERT_TRUE(client.List("s", entries));
    EXPECT_EQ(entries.size(), 42u);
  }
  EXPECT_EQ(server->Count("section s: listed"), 1) << Log();
}

TEST_F(Publisher, ReadersThatStallAreDroppedAtTheDeadline) {
  Publish({{"big.bin", fixtures::Pattern(16u << 20, 3)}});
  UpdateServerOptions opt;
  opt.deadlineSeconds = 2;
  Start(opt);
  struct Case {
    const char* what;
    bool trickles;  // reads a block now and then (never idle long) or never reads
  };
  int dropped = 0;
  for (const Case c : {Case{"never reads", false}, Case{"reads a block now and then", true}}) {
    SCOPED_TRACE(c.what);
    session::Session client(server->port(), 16384);
    std::vector<blocks::ListEntry> entries;
    ASSERT_TRUE(client.List("s", entries));
    ASSERT_TRUE(client.Ask({2}));
    const auto start = std::chrono::steady_clock::now();
    auto count = [&] { return server->Count("end=deadline passed"); };
    if (c.trickles) {
      // At this pace the 16 MB would take minutes; the server ends the exchange first, and
      // the reader meets the end of the stream.
      while (count() == dropped && std::chrono::steady_clock::now() - start < 60s) {
        if (client.Next(5s).marker.empty()) break;
        std::this_thread::sleep_for(100ms);
      }
    }
    EXPECT_TRUE(loopback::WaitFor([&] { return count() == dropped + 1; }, 60s)) << Log();
    ++dropped;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50s);
  }
}

TEST_F(Publisher, ConnectionsFromOneAddressAreCapped) {
  Publish({{"a", "x"}});
  UpdateServerOptions opt;
  opt.maxPerAddress = 3;
  Start(opt);
  std::vector<std::unique_ptr<session::Session>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<session::Session>(server->port()));
    std::vector<blocks::ListEntry> entries;
    ASSERT_TRUE(held.back()->List("s", entries));  // each is served
  }
  {
    session::Session fourth(server->port());
    std::vector<blocks::ListEntry> entries;
    EXPECT_FALSE(fourth.List("s", entries));
    EXPECT_TRUE(LogSays("refused: 3 connections from 127.0.0.1 already")) << Log();
  }
  held.pop_back();
  // Once one has left, the next is served again.
  std::vector<blocks::ListEntry> entries;
  EXPECT_TRUE(loopback::WaitFor([&] { return session::Session(server->port()).List("s", entries); }, 30s));
}

// 1,100 idle connections against a server allowed 200 descriptors: it runs out, and must then
// wait for a client to leave instead of spinning on a listener that stays readable.
TEST_F(Publisher, IdleConnectionsPastTheDescriptorLimitCostLittleCpu) {
  Publish({{"a", "x"}});
  const std::string errors = dir.file("server.log");
  program::ServerProcess process(dir.file("root"), {"--max-per-address", "2000", "--idle", "600"}, errors, 200);
  const int port = process.port();
  const pid_t pid = process.pid();
  ASSERT_GT(port, 0) << ReadFile(errors);

  std::vector<int> idle;
  for (int i = 0; i < 1100; ++i) {
    const int fd = loopback::sys::NewSocket(true);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // in progress: the listener's queue takes it
    idle.push_back(fd);
  }
  EXPECT_TRUE(loopback::WaitFor([&] { return ReadFile(errors).find("no descriptor left") != std::string::npos; }, 60s))
      << ReadFile(errors);
  // Over a window of three seconds, the waiting server uses next to no CPU (a spin takes all of it).
  const long long before = CpuTicks(pid);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(3s);
  const long long used = CpuTicks(pid) - before;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_GE(before, 0);
  EXPECT_LT(static_cast<double>(used) / static_cast<double>(::sysconf(_SC_CLK_TCK)), 0.1 * seconds)
      << used << " ticks in " << seconds << " s";

  // When the crowd leaves, the server takes new clients again.
  for (int fd : idle) loopback::sys::Close(fd);
  std::vector<blocks::ListEntry> entries;
  EXPECT_TRUE(loopback::WaitFor([&] { return session::Session(port).List("s", entries); }, 60s)) << ReadFile(errors);
  EXPECT_EQ(process.Terminate(), 0);
}
