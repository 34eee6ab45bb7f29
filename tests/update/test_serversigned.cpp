// zelvora-update-server publishes only signed files: signatures read, listed and served beside them.
#include <gtest/gtest.h>

#include <filesystem>

#include "ServedFolder.h"
#include "ServerSession.h"
#include "Signing.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// An in-process server over a root of its own, its log kept for the test to read.
class ServedRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!signing::HaveMinisign(), "minisign is not installed");
    ASSERT_TRUE(key.ok()) << key.output();
    server = std::make_unique<served::Server>(dir.str(), dir.file("server-log.txt"));
    ASSERT_TRUE(server->listening());
  }
  std::string Log() { return server->Log(); }
  std::string Put(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(dir.file(path)).parent_path());
    WriteFile(dir.file(path), bytes);
    return dir.file(path);
  }

  TempDir dir;
  signing::KeyPair key;
  std::unique_ptr<served::Server> server;
};

std::string Describe(const blocks::ListEntry& e) {
  return std::string{e.key, e.folder, ' '} + e.sub + "|" + e.file + " " + std::to_string(e.size) + " " +
         std::to_string(e.time);
}

}  // namespace

TEST(ServerSignatures, TrustedCommentIsReadFromTheMinisignLayoutOnly) {
  const std::string sig = std::string(99, 'A') + "=";  // base64 of 74 bytes
  const std::string global = std::string(86, 'B') + "==";  // base64 of 64 bytes
  struct Case {
    const char* what;
    std::string text;
    std::optional<std::string> comment;
  };
  const Case cases[] = {
      {"as minisign writes it", "untrusted comment: x\n" + sig + "\ntrusted comment: a b c\n" + global + "\n", "a b c"},
      {"without the last line end", "untrusted comment: x\n" + sig + "\ntrusted comment: t\n" + global, "t"},
      {"with CR LF line ends", "untrusted comment: x\r\n" + sig + "\r\ntrusted comment: t\r\n" + global + "\r\n", "t"},
      {"empty", "", std::nullopt},
      {"three lines", "untrusted comment: x\n" + sig + "\ntrusted comment: t\n", std::nullopt},
      {"a fifth line", "untrusted comment: x\n" + sig + "\ntrusted comment: t\n" + global + "\nmore\n", std::nullopt},
      {"signature too short", "untrusted comment: x\n" + sig.substr(4) + "\ntrusted comment: t\n" + global, std::nullopt},
      {"not base64", "untrusted comment: x\n" + std::string(99, '*') + "=\ntrusted comment: t\n" + global, std::nullopt},
      {"no trusted comment", "untrusted comment: x\n" + sig + "\ncomment: t\n" + global, std::nullopt},
      {"larger than 4 KiB", "untrusted comment: " + std::string(5000, 'x') + "\n" + sig + "\ntrusted comment: t\n" + global,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SignatureTrustedComment(c.text), c.comment);
  }
}

TEST_F(ServedRoot, EachFileIsPublishedOnlyWithASignatureNamingIt) {
  struct Case {
    const char* what;
    std::string line;     // the manifest line; its file is files/sub/a
    std::string comment;  // signed into files/sub/a.minisig; empty: no signature, "garbage": not minisign
    bool published;
    const char* why;      // part of the refusal
  };
  const std::string now = std::to_string(signing::SecondsOf(Put("s/files/sub/a", "payload")));
  const Case cases[] = {
      {"names it", "U\tM\tsub\ta", "zelvora-update s M sub/a " + now, true, ""},
      {"a version of its own", "U\tM\tsub\ta", "zelvora-update s M sub/a 1500000000", true, ""},
      {"no signature", "U\tM\tsub\ta", "", false, "no signature"},
      {"not a signature", "U\tM\tsub\ta", "garbage", false, "not a minisign signature"},
      {"another section", "U\tM\tsub\ta", "zelvora-update t M sub/a " + now, false, "does not name"},
      {"another folder letter", "U\tM\tsub\ta", "zelvora-update s P sub/a " + now, false, "does not name"},
      {"another path", "U\tM\tsub\ta", "zelvora-update s M a " + now, false, "does not name"},
      {"another prefix", "U\tM\tsub\ta", "zelvora-manifest s M sub/a " + now, false, "does not name"},
      {"a doubled space", "U\tM\tsub\ta", "zelvora-update s M  sub/a " + now, false, "does not name"},
      {"no version", "U\tM\tsub\ta", "zelvora-update s M sub/a", false, "does not name"},
      {"a version with a leading zero", "U\tM\tsub\ta", "zelvora-update s M sub/a 0" + now, false, "does not name"},
      {"a version past 32 bits", "U\tM\tsub\ta", "zelvora-update s M sub/a 2147483648", false, "does not name"},
      {"a negative version", "U\tM\tsub\ta", "zelvora-update s M sub/a -5", false, "does not name"},
      {"the reserved key L", "L\tM\tsub\ta", "zelvora-update s M sub/a " + now, false, "reserved"},
      {"the reserved key V", "V\tM\tsub\ta", "zelvora-update s M sub/a " + now, false, "reserved"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir.file("s/files/sub/a.minisig"));
    if (c.comment == "garbage") {
      Put("s/files/sub/a.minisig", "untrusted comment: x\nnot a signature\n");
    } else if (!c.comment.empty()) {
      ASSERT_TRUE(key.Sign(dir.file("s/files/sub/a"), c.comment));
    }
    Put("s/manifest.tsv", c.line + "\n");
    ASSERT_TRUE(key.Sign(dir.file("s/manifest.tsv"), signing::ManifestComment("s", 1800000000)));
    ManifestLoad load;
    std::string error;
    ASSERT_TRUE(LoadManifest(dir.file("s"), load, &error)) << error;
    EXPECT_EQ(load.list.size(), c.published ? 4u : 2u);
    if (c.published) {
      EXPECT_EQ(load.list[2].time, std::stoll(c.comment.substr(c.comment.rfind(' ') + 1)));
    } else {
      ASSERT_EQ(load.rejected.size(), 1u);
      EXPECT_NE(load.rejected[0].find(c.why), std::string::npos) << load.rejected[0];
    }
  }
}

TEST_F(ServedRoot, PathsWithSpacesAreNotPublished) {
  Put("s/files/a b", "x");
  ASSERT_TRUE(key.Sign(dir.file("s/files/a b"), "zelvora-update s M a b 1500000000"));
  Put("s/manifest.tsv", "U\tM\t\ta b\n");
  ASSERT_TRUE(key.Sign(dir.file("s/manifest.tsv"), signing::ManifestComment("s", 1800000000)));
  ManifestLoad load;
  ASSERT_TRUE(LoadManifest(dir.file("s"), load, nullptr));
  EXPECT_EQ(load.list.size(), 2u);
  ASSERT_EQ(load.rejected.size(), 1u);
  EXPECT_NE(load.rejected[0].find("space"), std::string::npos);
}

TEST_F(ServedRoot, SectionWithoutAValidManifestSignatureIsNotPublished) {
  Put("s/files/a", "x");
  Put("s/manifest.tsv", "U\tM\t\ta\n");
  signing::SignSection(key, dir.file("s"));
  struct Case {
    const char* what;
    std::string comment;  // of manifest.tsv.minisig; empty: none
    const char* why;
  };
  const Case cases[] = {
      {"unsigned", "", "no signature of its manifest"},
      {"signed for another section", "zelvora-manifest t 1800000000", "does not name"},
      {"signed as a file", "zelvora-update s M manifest.tsv 1800000000", "does not name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir.file("s/manifest.tsv.minisig"));
    if (!c.comment.empty()) {
      ASSERT_TRUE(key.Sign(dir.file("s/manifest.tsv"), c.comment));
    }
    session::Session client(server->port());
    std::vector<blocks::ListEntry> entries;
    session::Reply refusal;
    EXPECT_FALSE(client.List("s", entries, &refusal));
    EXPECT_EQ(refusal.marker, "_PERMSG:");
    EXPECT_EQ(refusal.payload, "1");
    EXPECT_NE(Log().find(c.why), std::string::npos) << Log();
  }
}

TEST_F(ServedRoot, SignaturesAreListedAfterTheirEntriesAndServedWhole) {
  Put("s/files/prog", "#!/bin/sh\necho new\n");
  Put("s/files/lib/helper.zip", std::string(100000, 'z'));
  Put("s/manifest.tsv", "U\tM\t\tprog\nC\tP\tlib\thelper.zip\nD\tK\t\told.txt\n");
  ASSERT_TRUE(key.Sign(dir.file("s/files/prog"), "zelvora-update s M prog 1765432100"));
  ASSERT_TRUE(key.Sign(dir.file("s/files/lib/helper.zip"), "zelvora-update s P lib/helper.zip 1765432200"));
  ASSERT_TRUE(key.Sign(dir.file("s/manifest.tsv"), "zelvora-manifest s 1765432300"));
  auto size = [&](const std::string& p) { return std::to_string(fs::file_size(dir.file(p))); };
  auto time = [&](const std::string& p) { return std::to_string(signing::SecondsOf(dir.file(p))); };
  session::Session client(server->port());
  std::vector<blocks::ListEntry> entries;
  ASSERT_TRUE(client.List("s", entries));
  std::vector<std::string> listed;
  for (const auto& e : entries) listed.push_back(Describe(e));
  // A file's version is the one it was signed with; the manifest and the signatures carry their own times.
  EXPECT_EQ(listed, (std::vector<std::string>{
                        "LM |manifest.tsv " + size("s/manifest.tsv") + " " + time("s/manifest.tsv"),
                        "VM |manifest.tsv.minisig " + size("s/manifest.tsv.minisig") + " " + time("s/manifest.tsv.minisig"),
                        "UM |prog " + size("s/files/prog") + " 1765432100",
                        "VM |prog.minisig " + size("s/files/prog.minisig") + " " + time("s/files/prog.minisig"),
                        "CP lib|helper.zip 100000 1765432200",
                        "VP lib|helper.zip.minisig " + size("s/files/lib/helper.zip.minisig") + " " +
                            time("s/files/lib/helper.zip.minisig"),
                        "DK |old.txt 0 0",
                    }));
  ASSERT_TRUE(client.Ask({0, 1, 2, 3, 4, 5, 6}));
  std::map<int, std::string> files;
  ASSERT_TRUE(client.Receive(files));
  EXPECT_EQ(files, (std::map<int, std::string>{{0, ReadFile(dir.file("s/manifest.tsv"))},
                                               {1, ReadFile(dir.file("s/manifest.tsv.minisig"))},
                                               {2, ReadFile(dir.file("s/files/prog"))},
                                               {3, ReadFile(dir.file("s/files/prog.minisig"))},
                                               {4, ReadFile(dir.file("s/files/lib/helper.zip"))},
                                               {5, ReadFile(dir.file("s/files/lib/helper.zip.minisig"))}}));
  // What was served verifies with the publisher's key, checked by minisign itself.
  const std::string got = Put("got/helper.zip", files[4]);
  Put("got/helper.zip.minisig", files[5]);
  std::string output;
  EXPECT_EQ(testsupport::RunFixtureTool({"minisign", "-V", "-p", key.PublicKeyFile(), "-m", got}, &output), 0) << output;
  EXPECT_NE(output.find("zelvora-update s P lib/helper.zip 1765432200"), std::string::npos) << output;
}
