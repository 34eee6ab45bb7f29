// Received files are hashed piece by piece as they are stored, and their signatures checked
// against that hash: whatever order or repetition a server sends, the hash is that of the
// bytes staged, so the install happens exactly when the staged file is the signed one. Also the
// key ids the client names when a signature is by another key.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "ArchiveFixtures.h"
#include "SignedFixtures.h"
#include "TestSupport.h"
#include "support/Minisign.h"
#include "update/Skylift.h"

namespace fs = std::filesystem;
using signedfx::InOrder;
using signedfx::Item;
using signedfx::Publisher;
using signedfx::Section;
using signedfx::SentPiece;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

struct Outcome {
  int state = 0;
  std::string why;
};

// One download of `section` from a scripted server that cuts each position's data by `plan`.
Outcome Download(const TempDir& dir, const Publisher& publisher, const Section& section, const signedfx::PiecePlan& plan) {
  loopback::Server server([&](int fd) { signedfx::ServePlanned(fd, section, plan); });
  CSkylift client;
  EXPECT_EQ(client.SetSize(256, 32768, 64, 128), 1);
  EXPECT_EQ(client.Connect("127.0.0.1", server.port()), 1);
  client.Folders().Set('M', dir.file("M"));
  client.SetTrust(ParseMinisignKey(publisher.PublicKeyLine()), dir.file("cache"));
  EXPECT_GT(client.iStartUpdate(section.name, true), 0);
  EXPECT_TRUE(loopback::WaitFor([&] { return !client.IsRunning(); }, std::chrono::seconds(120)));
  return {client.iGetUpdateStat(), client.Why()};
}

}  // namespace

TEST(SignedReceive, TheHashFollowsTheBytesStagedWhateverTheServerSends) {
  // Positions: 0 the manifest, 1 its signature, 2 the file, 3 its signature.
  const std::string data = fixtures::Pattern(40000, 3);
  auto repeatFirstHalf = [](const std::string& b) {
    return std::vector<SentPiece>{{0, b.size() / 2, true}, {0, b.size() / 2, false}};
  };
  struct Case {
    const char* what;
    std::string file;
    signedfx::PiecePlan plan;
    bool installs;
    const char* why;  // part of the reason when refused
  } cases[] = {
      {"a file of no bytes", "", [](int, const std::string& b) { return InOrder(b, 32752); }, true, ""},
      {"every file, the manifest and the signatures in 7-byte pieces", data,
       [](int, const std::string& b) { return InOrder(b, 7); }, true, ""},
      {"a file sent again after its end", data,
       [](int position, const std::string& b) {
         std::vector<SentPiece> pieces = InOrder(b, 16384);
         if (position == 2) {
           const std::vector<SentPiece> again = InOrder(b, 16384);
           pieces.insert(pieces.end(), again.begin(), again.end());
         }
         return pieces;
       },
       true, ""},
      {"a piece repeated past the size", data,
       [](int position, const std::string& b) {
         std::vector<SentPiece> pieces = InOrder(b, 20000);
         if (position == 2) pieces.insert(pieces.begin(), SentPiece{0, 20000, true});
         return pieces;
       },
       false, "larger than the list says"},
      {"a piece repeated in place of the next", data,
       [&](int position, const std::string& b) { return position == 2 ? repeatFirstHalf(b) : InOrder(b, 32752); },
       false, "does not match"},
      {"the manifest's first half repeated in place of its second", data,
       [&](int position, const std::string& b) {
         return position == 0 && b.size() % 2 == 0 ? repeatFirstHalf(b) : InOrder(b, 32752);
       },
       false, "list's signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    fs::create_directories(dir.file("cache"));
    Publisher publisher;
    // The manifest's halves can stand in for it only at an even size: a comment line of three
    // bytes makes an odd one even.
    Section s = Section::Make(publisher, "sec", {{'U', 'M', "", "f.dat", c.file}});
    if (s.manifest.size() % 2 != 0) s = Section::Make(publisher, "sec", {{'U', 'M', "", "f.dat", c.file}}, "##\n");
    const Outcome r = Download(dir, publisher, s, c.plan);
    if (c.installs) {
      EXPECT_EQ(r.state, kSkyStateDone) << r.why;
      EXPECT_TRUE(fs::is_regular_file(dir.file("M/f.dat")));
      EXPECT_EQ(ReadFile(dir.file("M/f.dat")), c.file);
    } else {
      EXPECT_NE(r.state, kSkyStateDone);
      EXPECT_NE(r.why.find(c.why), std::string::npos) << r.why;
      EXPECT_FALSE(fs::exists(dir.file("M/f.dat")));
    }
    EXPECT_EQ(fixtures::Listing(dir.file("cache")), std::vector<std::string>{});
  }
}

// Key ids are shown as minisign shows them in a .pub file's comment: the little-endian id as one
// upper-case hex number, leading zeros left out (1 key in 16 has one).
TEST(Minisign, KeyIdsReadAsMinisignPrintsThem) {
  struct Case {
    std::array<uint8_t, kMinisignKeyIdBytes> id;
    const char* text;
  } cases[] = {
      {{0x0F, 0x27, 0x5E, 0xEA, 0xBF, 0x87, 0x9B, 0x15}, "159B87BFEA5E270F"},
      {{0x58, 0x46, 0xA5, 0x15, 0x8D, 0xB7, 0x77, 0x04}, "477B78D15A54658"},
      {{0x01, 0, 0, 0, 0, 0, 0, 0}, "1"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(MinisignKeyIdText(c.id), c.text);
}
