// End to end on loopback: the update check and the update client against zelvora-update-server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "ArchiveFixtures.h"
#include "LoopbackServer.h"
#include "SignedFixtures.h"
#include "Signing.h"
#include "TestSupport.h"
#include "UpdateBlocks.h"
#include "tools/update-server/UpdateServer.h"
#include "update/Skylift.h"
#include "support/FileUtils.h"
#include "update/UpdateCheck.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::SetTime;
using testsupport::TimeOf;
using testsupport::WriteFile;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kNow = 1800000000;

struct Message {
  std::string text;
  bool error;
};

class UpdateEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!signing::HaveMinisign(), "minisign is not installed");
    ASSERT_TRUE(key.ok()) << key.output();
    fs::create_directories(dir.file("root"));
    fs::create_directories(dir.file("tmp"));
    log = std::tmpfile();
    UpdateServerOptions opt;
    opt.root = dir.file("root");
    opt.port = 0;
    opt.log = log;
    server = std::make_unique<UpdateServer>(opt);
    std::string error;
    ASSERT_TRUE(server->Listen(&error)) << error;
    serverThread = std::thread([this] { server->Run(); });
    setup.server = "127.0.0.1";
    setup.port = server->Port();
    setup.programFiles = dir.file("P");
    setup.runningExe = dir.file("P/Tarvesk/zelvora/encoder/zelvora");
    setup.message = [this](const std::string& text, const std::string&, bool isError) { messages.push_back({text, isError}); };
    setup.stagingParent = dir.file("cache");
    // The publisher's key pinned as a user does, with zelvora settings set encoder.update_key=….
    ASSERT_EQ(RegWriteValue(store, kUpdateSettingsKey, "update_key", key.PublicKey(), kRegSz, 0), 1);
    setup.key = ParseMinisignKey(key.PublicKey());
    ASSERT_TRUE(setup.key);
    ASSERT_EQ(RegWriteValue(store, kUpdateSettingsKey, "update_server", "127.0.0.1:" + std::to_string(setup.port), kRegSz, 0), 1);
  }

  void TearDown() override {
    if (server) server->Stop();
    if (serverThread.joinable()) serverThread.join();
    if (log) std::fclose(log);
  }

  // Publishes `files` (name → bytes) below SECTION/files and the manifest lines, signed.
  void Publish(const std::string& section, const std::string& manifest,
               const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, bytes] : files) {
      fs::create_directories(fs::path(dir.file("root/" + section + "/files/" + name)).parent_path());
      WriteFile(dir.file("root/" + section + "/files/" + name), bytes);
    }
    WriteFile(dir.file("root/" + section + "/manifest.tsv"), manifest);
    signing::SignSection(key, dir.file("root/" + section));
  }
  std::string Published(const std::string& section, const std::string& name) const {
    return dir.file("root/" + section + "/files/" + name);
  }

  std::string ServerLog() {
    std::fflush(log);
    std::rewind(log);
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, log)) > 0;) text.append(buf, n);
    return text;
  }

  uint32_t StoredRebirth() {
    RegValue v;
    return RegReadValue(store, kUpdateSettingsKey, "program_rebirth", v) == 1 ? v.dword : 0;
  }

  // A download-mode client for `section` with M = `folder`, run until its exchange ends.
  int Download(const std::string& section, const std::string& folder) {
    CSkylift client;
    client.SetTrust(ParseMinisignKey(key.PublicKey()), dir.file("cache"));
    EXPECT_EQ(client.SetSize(256, 32768, 64, 128), 1);
    EXPECT_EQ(client.Connect("127.0.0.1", setup.port), 1);
    client.Folders().Set('M', folder);
    client.Folders().Set('T', dir.file("tmp"));
    EXPECT_GT(client.iStartUpdate(section, true), 0);
    loopback::WaitFor([&] { return !client.IsRunning(); }, std::chrono::seconds(60));
    return client.iGetUpdateStat();
  }

  std::string M() const { return dir.file("P/Tarvesk/zelvora/encoder"); }
  std::string Module() const { return dir.file("P/Tarvesk/zelvora/system"); }

  // The encoder section with one file newer than the installed copy, and the module section
  // whose program writes its parameter text to started.txt.
  void PublishUpdate() {
    Publish(kEncoderSection, "# the encoder\nU\tM\t\tzelvora\n", {{"zelvora", "new encoder"}});
    Publish(kModuleSection, std::string("U\tM\t\t") + kModuleFile + "\nC\tM\tlib\tdata.bin\n",
            {{kModuleFile, ModuleProgram()}, {"lib/data.bin", fixtures::Pattern(100000, 3)}});
  }

  // The update module: a program that records its first argument in started.txt.
  std::string ModuleProgram() {
#ifdef _WIN32
    // A real Windows program (built beside this one); it records what ZELVORA_CHILD_RECORD names.
    const std::string self = RunningExecutablePath();
    return ReadFile(self.substr(0, self.find_last_of("\\/") + 1) + "process_child.exe");
#else
    return "#!/bin/sh\nprintf '%s' \"$1\" > '" + dir.file("started.tmp") + "'\nmv '" + dir.file("started.tmp") + "' '" +
           dir.file("started.txt") + "'\n";
#endif
  }

  // The encoder section up to date with the installed copy.
  void PublishCurrent() {
    Publish(kEncoderSection, "U\tM\t\tzelvora\n", {{"zelvora", "encoder"}});
    fs::create_directories(M());
    WriteFile(M() + "/zelvora", "encoder");
    SetTime(M() + "/zelvora", TimeOf(Published(kEncoderSection, "zelvora")));
  }

  testsupport::ScopedEnv tmpdir{"TMPDIR", (testsupport::TestHome() / "tmp").string()};
  TempDir dir;
  signing::KeyPair key;
#ifdef _WIN32
  testsupport::ScopedEnv record{"ZELVORA_CHILD_RECORD", dir.file("started.txt")};
#endif
  FILE* log = nullptr;
  std::unique_ptr<UpdateServer> server;
  std::thread serverThread;
  RegistryStore store{dir.file("registry.reg")};
  UpdateCheckSetup setup;
  std::vector<Message> messages;
};

}  // namespace

TEST_F(UpdateEndToEnd, UpToDateSectionStoresTheTimeAndShowsNothing) {
  PublishCurrent();
  EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), kUpdateCurrent);
  EXPECT_EQ(StoredRebirth(), static_cast<uint32_t>(kNow));
  EXPECT_TRUE(messages.empty());
  // The signed manifest and its signature are asked for in every exchange, and nothing else.
  const std::string log = ServerLog();
  EXPECT_NE(log.find("section=zelvora_enc listed=4 requested=2 files=2 "), std::string::npos) << log;
  EXPECT_NE(log.find("end=done"), std::string::npos) << log;
}

TEST_F(UpdateEndToEnd, UpdateDueRefreshesAndStartsTheModule) {
  PublishUpdate();
  EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), kUpdateStarted);
  EXPECT_EQ(StoredRebirth(), static_cast<uint32_t>(kNow));
  EXPECT_TRUE(messages.empty());
  ASSERT_TRUE(loopback::WaitFor([&] { return fs::exists(dir.file("started.txt")); }, std::chrono::seconds(30)));
  EXPECT_EQ(ReadFile(dir.file("started.txt")),
            "1|0|127.0.0.1:" + std::to_string(setup.port) + "|zelvora_enc|" + setup.runningExe);
  EXPECT_EQ(ReadFile(Module() + "/lib/data.bin"), fixtures::Pattern(100000, 3));
  EXPECT_EQ(TimeOf(Module() + "/" + kModuleFile), TimeOf(Published(kModuleSection, kModuleFile)));
  // Check mode only learns that an update is due; the encoder's own files are the module's job.
  EXPECT_FALSE(fs::exists(M() + "/zelvora"));
  EXPECT_FALSE(fs::exists(M() + "/zelvora.bnu"));
}

TEST_F(UpdateEndToEnd, WeekBoundary) {
  PublishCurrent();
  struct Case {
    int64_t age;
    int result;
  };
  for (const Case c : {Case{604800, kUpdateNotRun}, Case{604801, kUpdateCurrent}, Case{-5, kUpdateNotRun}}) {
    SCOPED_TRACE(c.age);
    ASSERT_EQ(RegWriteDword(store, kUpdateSettingsKey, "program_rebirth", static_cast<uint32_t>(kNow - c.age)), 1);
    EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), c.result);
    EXPECT_EQ(StoredRebirth(), static_cast<uint32_t>(c.result == kUpdateNotRun ? kNow - c.age : kNow));
  }
  // A stored time past 2038 reads as negative: no check.
  ASSERT_EQ(RegWriteDword(store, kUpdateSettingsKey, "program_rebirth", 0x80000000u), 1);
  EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), kUpdateNotRun);
}

TEST_F(UpdateEndToEnd, NoServerConfiguredDoesNothing) {
  ASSERT_EQ(RegWriteValue(store, kUpdateSettingsKey, "update_server", "", kRegSz, 0), 1);
  EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), kUpdateNotRun);
  EXPECT_EQ(StoredRebirth(), 0u);
  EXPECT_TRUE(messages.empty());
  ASSERT_EQ(RegWriteValue(store, kUpdateSettingsKey, "update_server", "host:99999", kRegSz, 0), 1);
  EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(1), setup), kUpdateNotRun);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].text.find("host:99999"), std::string::npos);
}

TEST_F(UpdateEndToEnd, ServerErrorGivesZeroAndTheWarning) {
  // No section published: the server answers _PERMSG:.
  EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), kUpdateFailed);
  EXPECT_EQ(StoredRebirth(), 0u);
  ASSERT_EQ(messages.size(), 1u);
  // The warning's own text, then why on a line of its own.
  EXPECT_EQ(messages[0].text, std::string(SelectInterfaceTexts(0).update_incomplete) + "\nthe update server answered with error 1");
  EXPECT_FALSE(messages[0].error);
  EXPECT_NE(ServerLog().find("end=error 1 unknown section"), std::string::npos);
}

TEST_F(UpdateEndToEnd, WrongProgramPathAsksNothing) {
  PublishUpdate();
  setup.runningExe = dir.file("elsewhere/zelvora");
  EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), kUpdateWrongPath);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Invalid Program Path!!");
  EXPECT_TRUE(messages[0].error);
  EXPECT_EQ(StoredRebirth(), 0u);
  EXPECT_FALSE(fs::exists(Module()));
  EXPECT_EQ(ServerLog().find("section=zelvora_enc"), std::string::npos);
}

TEST_F(UpdateEndToEnd, NoServerListeningGivesZero) {
  int holder = -1;
  setup.port = loopback::ClosedPort(&holder);
  EXPECT_EQ(RunUpdateCheck(setup), kUpdateFailed);
  loopback::sys::Close(holder);
}

TEST_F(UpdateEndToEnd, SilentOrClosingServersGiveZeroWithinTheBound) {
  EXPECT_EQ(UpdateCheckSetup{}.verdictTimeoutMs, 30000);
  struct Case {
    const char* what;
    bool closeAfterRequest;
  };
  for (const Case c : {Case{"quiet", false}, Case{"closes without a verdict", true}}) {
    SCOPED_TRACE(c.what);
    int port = 0;
    const int listener = loopback::ListenSocket(4, &port);
    std::atomic<bool> done{false};
    std::thread fake([&] {
      if (loopback::sys::Poll(listener, POLLIN, 20000) != 1) return;
      const int fd = loopback::sys::Accept(listener);
      loopback::ReadExactly(fd, 256, std::chrono::seconds(20));
      if (!c.closeAfterRequest) loopback::WaitFor([&] { return done.load(); }, std::chrono::seconds(60));
      loopback::sys::Close(fd);
    });
    setup.port = port;
    setup.verdictTimeoutMs = 2000;
    const auto start = Clock::now();
    EXPECT_EQ(RunUpdateCheck(setup), kUpdateFailed);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    done = true;
    fake.join();
    loopback::sys::Close(listener);
  }
}

TEST_F(UpdateEndToEnd, TwoHundredFilesArriveWhole) {
  std::string manifest;
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 200; ++i) {
    manifest += "C\tM\tset\tf" + std::to_string(i) + "\n";
    files.push_back({"set/f" + std::to_string(i), fixtures::Pattern(static_cast<size_t>(i * 331), i)});
  }
  Publish("many", manifest, files);
  EXPECT_EQ(Download("many", dir.file("out")), kSkyStateDone);
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(ReadFile(dir.file("out/set/f" + std::to_string(i))), fixtures::Pattern(static_cast<size_t>(i * 331), i)) << i;
  // Each file with its signature, after the manifest and its own.
  EXPECT_NE(ServerLog().find("section=many listed=402 requested=402 files=402"), std::string::npos) << ServerLog();
}

TEST_F(UpdateEndToEnd, CabinetMembersAreMovedAndTheCabinetDeleted) {
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("gcab");
  fs::create_directories(dir.file("src/sub"));
  WriteFile(dir.file("src/readme.txt"), "read me");
  WriteFile(dir.file("src/sub/b.dll"), fixtures::Pattern(70000, 9));
  fs::create_directories(dir.file("root/pkg/files"));
  std::string output;
  ASSERT_EQ(testsupport::RunFixtureTool({"env", "-C", dir.file("src"), "gcab", "-c", "-z", Published("pkg", "readme.cab"),
                                     "readme.txt", "sub/b.dll"}, &output), 0) << output;
  fixtures::MakeZip(Published("pkg", "x.zip"), R"([{"name": "z1.txt", "text": "from the zip"}])");
  SetTime(Published("pkg", "x.zip"), 1500000000);
  WriteFile(dir.file("root/pkg/manifest.tsv"), "C\tM\t\treadme.cab\nC\tM\t\tx.zip\n");
  signing::SignSection(key, dir.file("root/pkg"));
  EXPECT_EQ(Download("pkg", dir.file("out")), kSkyStateDone);
  EXPECT_EQ(ReadFile(dir.file("out/readme.txt")), "read me");
  EXPECT_EQ(ReadFile(dir.file("out/sub/b.dll")), fixtures::Pattern(70000, 9));
  EXPECT_FALSE(fs::exists(dir.file("out/readme.cab")));
  EXPECT_EQ(ReadFile(dir.file("out/z1.txt")), "from the zip");
  EXPECT_EQ(TimeOf(dir.file("out/x.zip")), 1500000000);
  EXPECT_EQ(fixtures::Listing(dir.file("tmp")), std::vector<std::string>{});  // the unpacking folders are gone
}

TEST_F(UpdateEndToEnd, ServerClosingMidFileLeavesNothingHalfInstalled) {
  const signedfx::Publisher publisher;
  const signedfx::Section section =
      signedfx::Section::Make(publisher, "s", {{'C', 'M', "", "big.bin", std::string(100000, 'a'), 1500000000}});
  std::vector<blocks::ListEntry> entries;
  std::vector<std::string> data;
  section.Listing(entries, data);
  int port = 0;
  const int listener = loopback::ListenSocket(4, &port);
  std::thread fake([&] {
    if (loopback::sys::Poll(listener, POLLIN, 20000) != 1) return;
    const int fd = loopback::sys::Accept(listener);
    loopback::ReadExactly(fd, 256, std::chrono::seconds(20));  // _GSECTN:
    loopback::SendAll(fd, blocks::List(false, static_cast<int32_t>(entries.size()), entries));
    loopback::ReadExactly(fd, 256, std::chrono::seconds(20));  // _GFNDEX:
    loopback::SendAll(fd, blocks::Piece(false, 0, data[0]));   // the signed manifest
    loopback::SendAll(fd, blocks::Piece(false, 1, data[1]));
    loopback::SendAll(fd, blocks::Piece(true, 2, std::string(32752, 'a')));
    loopback::sys::Close(fd);
  });
  CSkylift client;
  client.SetTrust(ParseMinisignKey(publisher.PublicKeyLine()), dir.file("cache"));
  ASSERT_EQ(client.SetSize(256, 32768, 64, 128), 1);
  ASSERT_EQ(client.Connect("127.0.0.1", port), 1);
  client.Folders().Set('M', dir.file("out"));
  ASSERT_GT(client.iStartUpdate("s", true), 0);
  EXPECT_TRUE(loopback::WaitFor([&] { return !client.IsRunning(); }, std::chrono::seconds(30)));
  EXPECT_EQ(client.iGetUpdateStat(), kSkyStateUpdate);
  EXPECT_FALSE(fs::exists(dir.file("out")));
  EXPECT_EQ(fixtures::Listing(dir.file("cache")), std::vector<std::string>{});
  fake.join();
  loopback::sys::Close(listener);
}

TEST_F(UpdateEndToEnd, ManyClientsAtOnceEachGetTheirFileWhole) {
  Publish("mb", "C\tM\t\tone.bin\n", {{"one.bin", fixtures::Pattern(1 << 20, 5)}});
  std::vector<std::thread> clients;
  std::vector<int> states(12, 0);
  for (size_t i = 0; i < states.size(); ++i)
    clients.emplace_back([&, i] { states[i] = Download("mb", dir.file("c" + std::to_string(i))); });
  for (auto& t : clients) t.join();
  for (size_t i = 0; i < states.size(); ++i) {
    EXPECT_EQ(states[i], kSkyStateDone) << i;
    EXPECT_EQ(ReadFile(dir.file("c" + std::to_string(i) + "/one.bin")), fixtures::Pattern(1 << 20, 5)) << i;
  }
}

TEST_F(UpdateEndToEnd, ChangedManifestIsReadAgain) {
  Publish("s", "C\tM\t\ta\n", {{"a", "A"}, {"b", "B"}});
  EXPECT_EQ(Download("s", dir.file("out")), kSkyStateDone);
  EXPECT_FALSE(fs::exists(dir.file("out/b")));
  WriteFile(dir.file("root/s/manifest.tsv"), "C\tM\t\ta\nC\tM\t\tb\n# b added\n");
  signing::SignSection(key, dir.file("root/s"));
  EXPECT_EQ(Download("s", dir.file("out")), kSkyStateDone);
  EXPECT_EQ(ReadFile(dir.file("out/b")), "B");
}

TEST(UpdateManifest, LinesThatClimbOutOrAreMalformedAreRefused) {
  ZELVORA_SKIP_WITHOUT_TOOL(!signing::HaveMinisign(), "minisign is not installed");
  TempDir dir;
  signing::KeyPair key;
  fs::create_directories(dir.file("s/files/sub"));
  WriteFile(dir.file("s/files/ok"), "1");
  WriteFile(dir.file("s/files/sub/deep"), "22");
  WriteFile(dir.file("secret"), "no");
#ifdef _WIN32
  GTEST_SKIP() << "making links needs a privilege on Windows that a test cannot count on";
#endif
  fs::create_symlink(dir.file("secret"), dir.file("s/files/link"));
  WriteFile(dir.file("s/manifest.tsv"),
            "# comment\n"
            "U\tM\t\tok\n"                 // 2: fine
            "G\tP\tsub\tdeep\n"            // 3: fine
            "U\tM\t..\tsecret\n"           // 4: climbs
            "U\tM\t\t../secret\n"          // 5: climbs
            "U\tM\tsub/../..\tsecret\n"    // 6: climbs
            "U\tM\t/etc\tpasswd\n"         // 7: absolute
            "U\tM\t\tlink\n"               // 8: a link leading outside
            "U\tX\t\tok\n"                 // 9: unknown folder letter
            "U\tM\tok\n"                   // 10: three fields
            "UU\tM\t\tok\n"                // 11: key of two letters
            "U\tM\t\tmissing\n"            // 12: not published
            "D\tM\t\tgone\n"               // 13: fine, nothing to publish for a deletion
            "\n");
  signing::SignSection(key, dir.file("s"));
  ASSERT_TRUE(key.Sign(dir.file("s/files/link"), signing::FileComment("s", 'M', "", "link", 1), dir.file("s/files/link.minisig")));
  ManifestLoad load;
  std::string error;
  ASSERT_TRUE(LoadManifest(dir.file("s"), load, &error)) << error;
  // The manifest and its signature, each file followed by its signature, the deletion alone.
  std::vector<std::string> listed;
  for (const auto& e : load.list) listed.push_back(std::string{e.key, e.folder, ' '} + e.subdir + "/" + e.name);
  EXPECT_EQ(listed, (std::vector<std::string>{"LM /manifest.tsv", "VM /manifest.tsv.minisig", "UM /ok", "VM /ok.minisig",
                                              "GP sub/deep", "VP sub/deep.minisig", "DM /gone"}));
  ASSERT_EQ(load.list.size(), 7u);
  EXPECT_EQ(load.list[2].size, 1);
  EXPECT_EQ(load.list[2].time, signing::SecondsOf(dir.file("s/files/ok")));
  EXPECT_EQ(load.list[4].size, 2);
  std::vector<std::string> lines;
  for (const auto& r : load.rejected) lines.push_back(r.substr(0, r.find(':')));
  EXPECT_EQ(lines, (std::vector<std::string>{"line 4", "line 5", "line 6", "line 7", "line 8", "line 9", "line 10",
                                             "line 11", "line 12"}));
  EXPECT_FALSE(LoadManifest(dir.file("nothing"), load, &error));
}

// The program's own path as the system spells it: on Windows with '\' and in any letter case
// (GetModuleFileNameW gives '\', the folder of the letter table is joined with '/'), it is the
// installed copy; on Linux letter case makes another folder. A sibling folder never passes.
TEST_F(UpdateEndToEnd, TheProgramPathGuardComparesPathsAsTheSystemDoes) {
  PublishCurrent();
  struct Case {
    const char* what;
    std::string exe;
    bool installed;
  };
  std::string upper = M() + "/zelvora";
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Case cases[] = {
#ifdef _WIN32
      {"'\\' separators", fs::path(M() + "/zelvora.exe").make_preferred().string(), true},
      {"'\\' separators, other letter case", fs::path(upper + ".EXE").make_preferred().string(), true},
      {"a sibling folder", fs::path(M() + "2/zelvora.exe").make_preferred().string(), false},
#else
      {"other letter case", upper, false},
      {"a sibling folder", M() + "2/zelvora", false},
#endif
      {"'/' separators", M() + "/zelvora", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.exe);
    messages.clear();
    ASSERT_EQ(RegWriteDword(store, kUpdateSettingsKey, "program_rebirth", 0), 1);
    setup.runningExe = c.exe;
    EXPECT_EQ(RunStartupUpdateDecision(store, kNow, SelectInterfaceTexts(0), setup), c.installed ? kUpdateCurrent : kUpdateWrongPath);
    EXPECT_EQ(!messages.empty() && messages[0].text == "Invalid Program Path!!", !c.installed);
  }
}
