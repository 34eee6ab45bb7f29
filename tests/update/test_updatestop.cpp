// A stop while an update unpacks a large package: ending the client (as the window does when it
// starts) returns within a small bound, and nothing is installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "ArchiveFixtures.h"
#include "SignedFixtures.h"
#include "TestSupport.h"
#include "update/Skylift.h"

namespace fs = std::filesystem;
using signedfx::Publisher;
using signedfx::Section;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(UpdateStop, EndingTheClientWhileItUnpacksReturnsAtOnceAndInstallsNothing) {
  for (const std::string name : {"big.zip", "big.cab"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    // 128 MB unpacked, well under 2 MB as served.
    const uint64_t size = uint64_t{128} << 20;
    if (name == "big.zip") {
      fixtures::MakeLargeMemberZip(dir.file(name), "module.bin", size);
    } else {
      if (testsupport::SkipCaseWithoutTool(!testsupport::HaveFixtureTool("gcab"), "gcab is not installed")) continue;
      fs::create_directories(dir.file("src"));
      fixtures::MakeSparseFile(dir.file("src/module.bin"), size);
      std::string out;
      ASSERT_EQ(testsupport::RunFixtureTool({"env", "-C", dir.file("src"), "gcab", "-c", "-z", dir.file(name), "module.bin"}, &out), 0) << out;
    }
    ASSERT_LT(fs::file_size(dir.file(name)), uint64_t{2} << 20);
    fs::create_directories(dir.file("M"));
    fs::create_directories(dir.file("cache"));
    WriteFile(dir.file("M/module.bin"), "the installed module");
    Publisher publisher;
    const Section s = Section::Make(publisher, "skymod", {{'U', 'M', "", name, ReadFile(dir.file(name))}});
    loopback::Server server([&](int fd) { signedfx::Serve(fd, s); });
    auto client = std::make_unique<CSkylift>();
    ASSERT_EQ(client->SetSize(256, 32768, 64, 128), 1);
    ASSERT_EQ(client->Connect("127.0.0.1", server.port()), 1);
    client->Folders().Set('M', dir.file("M"));
    client->SetTrust(ParseMinisignKey(publisher.PublicKeyLine()), dir.file("cache"));
    // Unpacking is under way once a member in the staging folder outgrows the whole package.
    std::atomic<bool> unpacking{false};
    fixtures::StopWhenWriting watch(dir.file("cache"), 8 << 20, unpacking);
    ASSERT_GT(client->iStartUpdate("skymod", true), 0);
    ASSERT_TRUE(loopback::WaitFor([&] { return unpacking.load() || !client->IsRunning(); }, std::chrono::seconds(120)));
    watch.Join();
    ASSERT_TRUE(watch.Fired()) << "the package was never seen unpacking: " << client->Why();
    const auto asked = std::chrono::steady_clock::now();
    client.reset();
    // One chunk of the member under way, then the staging folder's removal; the margin is for
    // a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(fixtures::Listing(dir.file("M")), std::vector<std::string>{"module.bin"});
    EXPECT_EQ(ReadFile(dir.file("M/module.bin")), "the installed module");
    EXPECT_EQ(fixtures::Listing(dir.file("cache")), std::vector<std::string>{});
  }
}
