// Signed updates end to end on loopback: a scripted server serves a signed section, and the
// client installs it only whole and only as signed, ending no process before it can succeed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "ArchiveFixtures.h"
#include "SignedFixtures.h"
#include "TestSupport.h"
#include "support/Minisign.h"
#include "update/Skylift.h"

namespace fs = std::filesystem;
using signedfx::Item;
using signedfx::Publisher;
using signedfx::Section;
using testsupport::ReadFile;
using testsupport::Snapshot;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A stand-in for a running copy of an installed program: a copy of sleep started from the
// program's own path, so that /proc/PID/exe names it.
struct StandIn {
  pid_t pid = -1;
  explicit StandIn(const std::string& path) {
    fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    pid = ::fork();
    if (pid == 0) {
      ::execl(path.c_str(), path.c_str(), "300", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Running from its file once /proc says so.
    loopback::WaitFor([&] {
      std::error_code e;
      return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", e).string() == path;
    }, std::chrono::seconds(20));
  }
  bool Running() {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
  }
  ~StandIn() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

struct Outcome {
  int state = 0;
  std::string why;
};

class SignedUpdate : public ::testing::Test {
 protected:
  // The staging folder's parent stands ready: what an exchange leaves in it must be nothing.
  void SetUp() override { fs::create_directories(dir.file("cache")); }

  // One exchange of `section` against the scripted server, with M = dir/M.
  Outcome Exchange(const Section& section, bool download = true, std::optional<MinisignKey> key = std::nullopt,
               size_t piece = 32752, std::chrono::milliseconds pause = std::chrono::milliseconds(0), int idleMs = 30000) {
    loopback::Server server([&](int fd) { signedfx::Serve(fd, section, piece, pause); });
    CSkylift client;
    EXPECT_EQ(client.SetSize(256, 32768, 64, 128), 1);
    EXPECT_EQ(client.Connect("127.0.0.1", server.port()), 1);
    client.Folders().Set('M', M());
    client.Folders().Set('T', dir.file("T"));
    client.SetTrust(key ? key : ParseMinisignKey(publisher.PublicKeyLine()), dir.file("cache"));
    client.SetBounds(idleMs, 600000);
    EXPECT_GT(client.iStartUpdate(section.name, download), 0);
    EXPECT_TRUE(loopback::WaitFor([&] { return !client.IsRunning(); }, std::chrono::seconds(120)));
    return {client.iGetUpdateStat(), client.Why()};
  }
  std::string M() const { return dir.file("M"); }
  std::string M(const std::string& name) const { return dir.file("M/" + name); }

  TempDir dir;
  Publisher publisher;
};

const std::string kScript = "#!/bin/sh\necho started > \"$1\"\n";

}  // namespace

TEST(Minisign, ReadsWhatMinisignWrites) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("minisign"), "minisign is not installed");
  TempDir dir;
  WriteFile(dir.file("file.bin"), fixtures::Pattern(100000, 1));
  std::string out;
  ASSERT_EQ(testsupport::RunCommand({"minisign", "-G", "-W", "-p", dir.file("k.pub"), "-s", dir.file("k.key")}, &out), 0) << out;
  ASSERT_EQ(testsupport::RunCommand({"minisign", "-S", "-s", dir.file("k.key"), "-m", dir.file("file.bin"), "-t",
                                     "zelvora-update skymod M lib/helper.zip 1765432100"}, &out), 0) << out;
  std::string why;
  auto key = ParseMinisignKey(ReadFile(dir.file("k.pub")), &why);  // the whole .pub text
  ASSERT_TRUE(key) << why;
  auto sig = ParseMinisignSignature(ReadFile(dir.file("file.bin.minisig")), &why);
  ASSERT_TRUE(sig) << why;
  EXPECT_EQ(sig->trustedComment, "zelvora-update skymod M lib/helper.zip 1765432100");
  std::array<uint8_t, 64> hash{};
  ASSERT_TRUE(MinisignFileHash(dir.file("file.bin"), hash));
  EXPECT_TRUE(MinisignVerify(*key, *sig, hash, &why)) << why;
  // The key id minisign prints in the .pub comment is the one we read.
  EXPECT_NE(ReadFile(dir.file("k.pub")).find(MinisignKeyIdText(key->id)), std::string::npos);
  // One byte changed, the comment changed, another key: each refused.
  std::string changed = fixtures::Pattern(100000, 1);
  changed[500] ^= 1;
  EXPECT_FALSE(MinisignVerify(*key, *sig, MinisignDataHash(changed), &why));
  auto forged = *sig;
  forged.trustedComment = "zelvora-update skymod M lib/other.zip 1765432100";
  EXPECT_FALSE(MinisignVerify(*key, forged, hash, &why));
  Publisher other;
  auto otherKey = ParseMinisignKey(other.PublicKeyLine());
  ASSERT_TRUE(otherKey);
  otherKey->id = key->id;  // same id, other key: the signature itself must fail
  EXPECT_FALSE(MinisignVerify(*otherKey, *sig, hash, &why));
}

TEST(Minisign, RefusesMalformedTexts) {
  Publisher p;
  const std::string good = p.Sign("data", "c");
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"three lines", good.substr(0, good.rfind('\n', good.size() - 2))},
      {"legacy Ed form", "untrusted comment: x\n" + signedfx::Base64("Ed" + std::string(72, 'a')) + "\ntrusted comment: c\n" +
                             signedfx::Base64(std::string(64, 'b')) + "\n"},
      {"short signature", "untrusted comment: x\n" + signedfx::Base64("ED" + std::string(71, 'a')) + "\ntrusted comment: c\n" +
                              signedfx::Base64(std::string(64, 'b')) + "\n"},
      {"not base64", "untrusted comment: x\n!!!!\ntrusted comment: c\nAAAA\n"},
      {"too large", good + std::string(5000, '\n')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string why;
    EXPECT_FALSE(ParseMinisignSignature(c.text, &why));
    EXPECT_FALSE(why.empty());
  }
  EXPECT_TRUE(ParseMinisignSignature(good));
  EXPECT_FALSE(ParseMinisignKey("RWQ"));
  EXPECT_FALSE(ParseMinisignKey(signedfx::Base64("Xd" + std::string(40, 'a'))));
}

TEST_F(SignedUpdate, SignedFilesInstallWithTheirTimeAndMode) {
  const Section s = Section::Make(publisher, "skymod",
                                  {{'U', 'M', "", "skymod", kScript, 1700000100},
                                   {'C', 'M', "lib", "data.bin", fixtures::Pattern(100000, 2), 1700000200}});
  const Outcome r = Exchange(s);
  EXPECT_EQ(r.state, kSkyStateDone) << r.why;
  EXPECT_EQ(ReadFile(M("skymod")), kScript);
  EXPECT_EQ(ReadFile(M("lib/data.bin")), fixtures::Pattern(100000, 2));
  struct stat st{};
  ASSERT_EQ(::stat(M("skymod").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1700000100);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_EQ(::stat(M("lib/data.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  // The module starts.
  EXPECT_EQ(testsupport::RunCommand({M("skymod"), dir.file("started.txt")}), 0);
  EXPECT_EQ(ReadFile(dir.file("started.txt")), "started\n");
  EXPECT_EQ(fixtures::Listing(dir.file("cache")), std::vector<std::string>{});  // staging removed
}

TEST_F(SignedUpdate, HostileCasesChangeNothingAndEndNoProcess) {
  Publisher stranger;
  struct Case {
    const char* what;
    std::function<Section()> make;
    std::function<void()> prepare;
  };
  const int32_t installedTime = 1700000000;
  auto tool = [&](std::string data, std::string signature = {}, int32_t time = 1700000500) {
    return Item{'U', 'M', "", "tool", std::move(data), time, std::move(signature)};
  };
  const Case cases[] = {
      {"one byte changed", [&] {
         Section s = Section::Make(publisher, "sec", {tool("new tool")});
         s.items[0].data[0] ^= 1;
         return s;
       }, {}},
      {"signed for another path", [&] {
         Item other{'U', 'M', "", "other", "new tool", 1700000500};
         return Section::Make(publisher, "sec", {tool("new tool", publisher.Sign("new tool", signedfx::UpdateComment("sec", other)))});
       }, {}},
      {"signed for another section", [&] {
         return Section::Make(publisher, "sec", {tool("new tool", publisher.Sign("new tool", signedfx::UpdateComment("zelvora_enc", tool("")) ))});
       }, {}},
      {"signed by another key", [&] { return Section::Make(stranger, "sec", {tool("new tool")}); }, {}},
      {"older than the installed file", [&] { return Section::Make(publisher, "sec", {tool("old tool", {}, installedTime - 1000)}); }, {}},
      {"no signature", [&] { return Section::Make(publisher, "sec", {tool("new tool", "-")}); }, {}},
      {"manifest of another section", [&] {
         Section s = Section::Make(publisher, "sec", {tool("new tool")});
         s.manifestSignature = publisher.Sign(s.manifest, "zelvora-manifest zelvora_enc 1700000000");
         return s;
       }, {}},
      {"entry not in the signed list", [&] {
         Section s = Section::Make(publisher, "sec", {tool("new tool")});
         s.manifest = "# nothing\n";
         s.manifestSignature = publisher.Sign(s.manifest, "zelvora-manifest sec 1700000000");
         return s;
       }, {}},
      {"second file's folder is a link", [&] {
         return Section::Make(publisher, "sec", {tool("new tool"), {'C', 'M', "linked", "x.bin", "payload", 1700000500}});
       }, [&] { fs::create_directories(dir.file("outside")); fs::create_directory_symlink(dir.file("outside"), M("linked")); }},
      {"second file cannot be written", [&] {
         return Section::Make(publisher, "sec", {tool("new tool"), {'C', 'M', "blocked", "x.bin", "payload", 1700000500}});
       }, [&] { WriteFile(M("blocked"), "a file where a folder would be"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(M());
    fs::remove_all(dir.file("outside"));
    fs::create_directories(M());
    StandIn running(M("tool"));
    ASSERT_TRUE(running.Running());
    fs::last_write_time(M("tool"), std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(std::chrono::seconds(installedTime))));
    WriteFile(M("keep.txt"), "kept");
    if (c.prepare) c.prepare();
    const auto before = Snapshot(dir.str());
    const Outcome r = Exchange(c.make());
    EXPECT_NE(r.state, kSkyStateDone);
    EXPECT_FALSE(r.why.empty());
    EXPECT_TRUE(running.Running());
    auto after = Snapshot(dir.str());
    EXPECT_EQ(after, before);
  }
}

TEST_F(SignedUpdate, DeletesOnlyWhatTheSignedListHolds) {
  fs::create_directories(M());
  WriteFile(M("listed.old"), "x");
  WriteFile(M("unlisted.old"), "y");
  Section s = Section::Make(publisher, "sec", {{'D', 'M', "", "listed.old", "", 0}});
  // The server adds a deletion of its own that the publisher never signed.
  s.items.push_back({'D', 'M', "", "unlisted.old", "", 0, "-"});
  EXPECT_EQ(Exchange(s).state, kSkyStateDone);
  EXPECT_FALSE(fs::exists(M("listed.old")));
  EXPECT_EQ(ReadFile(M("unlisted.old")), "y");
}

TEST_F(SignedUpdate, CheckModeChangesNothingOnDisk) {
  fs::create_directories(M());
  WriteFile(M("listed.old"), "x");
  const Section s = Section::Make(publisher, "sec",
                                  {{'D', 'M', "", "listed.old", "", 0}, {'C', 'M', "deep/er", "new.bin", "data", 1700000500}});
  const auto before = Snapshot(dir.str());
  EXPECT_EQ(Exchange(s, false).state, kSkyStateUpdate);
  EXPECT_EQ(Snapshot(dir.str()), before);
  // Nothing needed: a verified list says the copy is current.
  const Section current = Section::Make(publisher, "sec", {{'C', 'M', "", "listed.old", "x", 1700000500}});
  EXPECT_EQ(Exchange(current, false).state, kSkyStateDone);
  // Without a key a check cannot say anything.
  Publisher stranger;
  EXPECT_NE(Exchange(s, false, ParseMinisignKey(stranger.PublicKeyLine())).state, kSkyStateUpdate);
}

TEST_F(SignedUpdate, ModulesInsidePackagesStart) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveFixtureTool("gcab"), "gcab is not installed");
  fs::create_directories(dir.file("src"));
  WriteFile(dir.file("src/inzip"), kScript);
  WriteFile(dir.file("src/incab"), kScript);
  std::string out;
  ASSERT_EQ(testsupport::RunCommand({"env", "-C", dir.file("src"), "gcab", "-c", "-z", dir.file("m.cab"), "incab"}, &out), 0) << out;
  fixtures::MakeZip(dir.file("m.zip"), R"([{"name": "inzip", "text": "#!/bin/sh\necho started > \"$1\"\n"}])");
  const Section s = Section::Make(publisher, "skymod",
                                  {{'U', 'M', "", "m.zip", ReadFile(dir.file("m.zip"))}, {'U', 'M', "", "m.cab", ReadFile(dir.file("m.cab"))}});
  const Outcome r = Exchange(s);
  ASSERT_EQ(r.state, kSkyStateDone) << r.why;
  EXPECT_FALSE(fs::exists(M("m.cab")));
  for (const char* program : {"inzip", "incab"}) {
    SCOPED_TRACE(program);
    EXPECT_EQ(testsupport::RunCommand({M(program), dir.file(std::string(program) + ".txt")}), 0);
    EXPECT_EQ(ReadFile(dir.file(std::string(program) + ".txt")), "started\n");
  }
}

TEST_F(SignedUpdate, InterleavedPiecesFailTheExchange) {
  const Section s = Section::Make(publisher, "sec", {{'C', 'M', "", "a", std::string(40000, 'a')}, {'C', 'M', "", "b", "b"}});
  loopback::Server server([&](int fd) {
    std::vector<blocks::ListEntry> entries;
    std::vector<std::string> data;
    s.Listing(entries, data);
    loopback::ReadExactly(fd, 256, std::chrono::seconds(20));
    loopback::SendAll(fd, blocks::List(false, static_cast<int32_t>(entries.size()), entries));
    loopback::ReadExactly(fd, 256, std::chrono::seconds(20));
    loopback::SendAll(fd, blocks::Piece(false, 0, data[0]));
    loopback::SendAll(fd, blocks::Piece(false, 1, data[1]));
    loopback::SendAll(fd, blocks::Piece(true, 2, data[2].substr(0, 100)));
    loopback::SendAll(fd, blocks::Piece(false, 4, data[4]));  // another file before the first ended
    loopback::ReadExactly(fd, 1, std::chrono::seconds(20));
  });
  CSkylift client;
  ASSERT_EQ(client.SetSize(256, 32768, 64, 128), 1);
  ASSERT_EQ(client.Connect("127.0.0.1", server.port()), 1);
  client.Folders().Set('M', M());
  client.SetTrust(ParseMinisignKey(publisher.PublicKeyLine()), dir.file("cache"));
  ASSERT_GT(client.iStartUpdate("sec", true), 0);
  ASSERT_TRUE(loopback::WaitFor([&] { return !client.IsRunning(); }, std::chrono::seconds(60)));
  EXPECT_NE(client.iGetUpdateStat(), kSkyStateDone);
  EXPECT_NE(client.Why().find("mixed"), std::string::npos) << client.Why();
  EXPECT_FALSE(fs::exists(M("a")));
}

TEST_F(SignedUpdate, SlowLineUnderTheIdleBoundCompletes) {
  // Pieces come 300 ms apart with a 1 s idle bound: the whole transfer takes far longer than
  // the bound, and completes because the line never falls silent.
  const std::string big = fixtures::Pattern(200000, 4);
  const Section s = Section::Make(publisher, "sec", {{'C', 'M', "", "big.bin", big}});
  const Outcome r = Exchange(s, true, std::nullopt, 16384, std::chrono::milliseconds(300), 1000);
  EXPECT_EQ(r.state, kSkyStateDone) << r.why;
  EXPECT_EQ(ReadFile(M("big.bin")), big);
}

namespace {

// A ZIP64 archive of `count` empty stored members, written field by field.
std::string ManyMemberZip(int count) {
  testsupport::ByteWriter local, central;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "m%07d", i);
    const uint32_t offset = static_cast<uint32_t>(local.size());
    local.u32le(0x04034b50).u16le(20).u16le(0).u16le(0);  // signature, version, flags, stored
    local.u16le(0).u16le(0x21).u32le(0);                  // time, date (1980-01-01), CRC
    local.u32le(0).u32le(0).u16le(8).u16le(0).text(name); // sizes, name and extra lengths, name
    central.u32le(0x02014b50).u16le(20).u16le(20).u16le(0).u16le(0);  // signature, made by, needed, flags, stored
    central.u16le(0).u16le(0x21).u32le(0).u32le(0).u32le(0);          // time, date, CRC, sizes
    central.u16le(8).u16le(0).u16le(0).u16le(0).u16le(0).u32le(0);    // name, extra, comment, disk, attributes
    central.u32le(offset).text(name);                                 // local header offset, name
  }
  const uint64_t directoryAt = local.size();
  const uint64_t directorySize = central.size();
  testsupport::ByteWriter end;
  const uint64_t end64At = directoryAt + directorySize;
  end.u32le(0x06064b50).u32le(44).u32le(0).u16le(45).u16le(45);  // ZIP64 end: signature, record size (64-bit, as two halves), made by, needed
  end.u32le(0).u32le(0);                                          // disk, directory's disk
  end.u32le(static_cast<uint32_t>(count)).u32le(0).u32le(static_cast<uint32_t>(count)).u32le(0);  // entries here, in all
  end.u32le(static_cast<uint32_t>(directorySize)).u32le(0).u32le(static_cast<uint32_t>(directoryAt)).u32le(0);
  end.u32le(0x07064b50).u32le(0).u32le(static_cast<uint32_t>(end64At)).u32le(0).u32le(1);  // locator
  end.u32le(0x06054b50).u16le(0).u16le(0).u16le(0xFFFF).u16le(0xFFFF);                    // end record
  end.u32le(0xFFFFFFFF).u32le(0xFFFFFFFF).u16le(0);
  return local.str() + central.str() + end.str();
}

}  // namespace

TEST_F(SignedUpdate, AHugePackageIsRefusedWithinItsBound) {
  fs::create_directories(M());
  const std::string zip = ManyMemberZip(200000);
  const Section s = Section::Make(publisher, "skymod", {{'U', 'M', "", "x.zip", zip}});
  const auto start = std::chrono::steady_clock::now();
  const Outcome r = Exchange(s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));  // far inside the 10-minute bound
  EXPECT_NE(r.state, kSkyStateDone);
  EXPECT_NE(r.why.find("x.zip"), std::string::npos) << r.why;
  EXPECT_EQ(fixtures::Listing(M()), std::vector<std::string>{});
  EXPECT_EQ(fixtures::Listing(dir.file("cache")), std::vector<std::string>{});
}

// A name held by something no update replaces (a FIFO, which would hang whoever opens it, or a
// folder with someone's files in it) refuses the whole install at once: the client returns,
// ends no process, and changes nothing.
TEST_F(SignedUpdate, TargetsThatAreNoFilesRefuseTheInstallWithoutWaiting) {
  struct Case {
    const char* what;
    std::function<void()> make;
  };
  const Case cases[] = {
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(M("odd").c_str(), 0600), 0); }},
      {"a folder with a file in it", [&] {
         fs::create_directories(M("odd"));
         WriteFile(M("odd/inside.txt"), "someone's");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(M());
    fs::create_directories(M());
    StandIn running(M("tool"));
    ASSERT_TRUE(running.Running());
    testsupport::SetTime(M("tool"), 1700000000);
    c.make();
    const auto before = Snapshot(dir.path());
    const Section s = Section::Make(publisher, "sec", {{'U', 'M', "", "tool", kScript, 1700000500},
                                                       {'U', 'M', "", "odd", "a file now", 1700000500}});
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = Exchange(s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_NE(r.state, kSkyStateDone);
    EXPECT_NE(r.why.find("odd"), std::string::npos) << r.why;
    EXPECT_TRUE(running.Running());
    EXPECT_EQ(Snapshot(dir.path()), before);
  }
}

// Folders an install creates for its files, the letter folder itself included, go again when
// the install fails; a folder that was there stays.
TEST_F(SignedUpdate, AFailedInstallRemovesTheFoldersItMade) {
  fs::create_directories(dir.file("T"));
  WriteFile(dir.file("T/blocked"), "a file where a folder would be");
  const auto before = Snapshot(dir.path());
  ASSERT_FALSE(fs::exists(M()));
  const Section s = Section::Make(publisher, "sec", {{'C', 'M', "new/deeper", "a.bin", "data a", 1700000500},
                                                     {'C', 'T', "blocked", "b.bin", "data b", 1700000500}});
  const Outcome r = Exchange(s);
  EXPECT_NE(r.state, kSkyStateDone);
  EXPECT_NE(r.why.find("b.bin"), std::string::npos) << r.why;
  EXPECT_EQ(Snapshot(dir.path()), before);
  EXPECT_FALSE(fs::exists(M()));
}

// Someone with access to the private staging folder puts a FIFO where a received file was, once
// everything has arrived: the install refuses it and returns, and nothing is installed.
TEST_F(SignedUpdate, AFifoInPlaceOfAStagedFileIsRefusedWithoutWaiting) {
  fs::create_directories(M());
  const Section s = Section::Make(publisher, "sec", {{'C', 'M', "", "a.bin", "received whole", 1700000500}});
  loopback::Server server([&](int fd) { signedfx::Serve(fd, s); });
  CSkylift client;
  ASSERT_EQ(client.SetSize(256, 32768, 64, 128), 1);
  ASSERT_EQ(client.Connect("127.0.0.1", server.port()), 1);
  client.Folders().Set('M', M());
  client.SetTrust(ParseMinisignKey(publisher.PublicKeyLine()), dir.file("cache"));
  bool swapped = false;
  // The client's own thread reports every piece; when all have arrived, a.bin (list position
  // 2, after the manifest and its signature) becomes a FIFO before the install starts.
  client.SetObserver([&](int message, int wParam, int lParam) {
    if (message != kSkyMsgProgress || wParam != kSkyPercentId || lParam != 100 || swapped) return;
    for (const auto& staging : fs::directory_iterator(dir.file("cache"))) {
      const std::string staged = (staging.path() / "2").string();
      if (!fs::exists(staged)) continue;
      fs::remove(staged);
      swapped = ::mkfifo(staged.c_str(), 0600) == 0;
    }
  });
  ASSERT_GT(client.iStartUpdate("sec", true), 0);
  ASSERT_TRUE(loopback::WaitFor([&] { return !client.IsRunning(); }, std::chrono::seconds(60)));
  EXPECT_TRUE(swapped);
  EXPECT_NE(client.iGetUpdateStat(), kSkyStateDone);
  EXPECT_NE(client.Why().find("a.bin"), std::string::npos) << client.Why();
  EXPECT_EQ(fixtures::Listing(M()), std::vector<std::string>{});
  EXPECT_EQ(fixtures::Listing(dir.file("cache")), std::vector<std::string>{});
}
