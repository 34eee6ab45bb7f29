// The last step of an install: files made ready beside their targets take their names all
// together, or a failure half-way puts every old file back and removes the new ones.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include "TestSupport.h"
#include "update/MemberWriter.h"
#include "update/PlaceAll.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::Snapshot;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// An installed copy: three files in three folders, with their own times and permission bits.
struct Installed {
  const char* rel;
  const char* bytes;
  fs::perms mode;
  int64_t time;
};
const Installed kInstalled[] = {
    // Read-only, which Windows keeps as the one attribute that must come back too.
    {"a/one", "old one", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec, 1600000001},
    {"b/two", "old two", fs::perms::owner_read | fs::perms::owner_write, 1600000002},
    {"c/three", "old three", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read, 1600000003},
};

// A path below a snapshot's root as Snapshot names it on this system.
std::string Key(const std::string& rel) { return fs::path(rel).make_preferred().string(); }

void InstallOldCopy(const std::string& base) {
  for (const Installed& f : kInstalled) {
    const std::string path = base + "/" + f.rel;
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, f.bytes);
    fs::permissions(path, f.mode);
    testsupport::SetTime(path, f.time);
  }
  WriteFile(base + "/gone.txt", "to be deleted");
}

// Makes every file of the update ready beside its target: the three installed files, a new
// one in folders that do not exist yet, and the deletion of gone.txt.
std::vector<PlaceStep> Prepare(MemberWriter& writer, const std::string& base) {
  std::vector<PlaceStep> steps;
  for (const char* rel : {"a/one", "b/two", "c/three", "d/new/four"}) {
    PlaceStep& step = steps.emplace_back(PlaceStep{.writer = &writer, .target = base + "/" + rel});
    std::string error;
    EXPECT_TRUE(writer.Begin(rel, step.pending, error)) << error;
    const std::string bytes = std::string("new ") + rel;
    EXPECT_TRUE(writer.Write(step.pending, bytes.data(), bytes.size()));
    EXPECT_TRUE(writer.Finish(step.pending, 0755, 1700000000, error)) << error;
  }
  steps.push_back({.writer = &writer, .removal = true, .rel = "gone.txt", .target = base + "/gone.txt"});
  return steps;
}

// Nothing of ours left beside the targets: no finished file, no kept old one.
std::vector<std::string> Leftovers(const std::string& base) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".zvtmp-", 0) == 0 || name.rfind(".zvold-", 0) == 0) found.push_back(name);
  }
  return found;
}

#ifndef _WIN32
// Makes a folder unwritable for this test, root included: a read-only bind mount of it onto
// itself in the test's own mount namespace (root ignores permission bits), else its bits.
class Unwritable {
 public:
  explicit Unwritable(const std::string& folder) : folder_(folder) {}
  void Lock() {
    if (::geteuid() != 0) {
      fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
      return;
    }
    ASSERT_TRUE(testsupport::PrivateMountNamespace()) << std::strerror(errno);
    ASSERT_EQ(::mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    mounted_ = true;
    ASSERT_EQ(::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0) << std::strerror(errno);
  }
  ~Unwritable() {
    if (mounted_) ::umount(folder_.c_str());
    else fs::permissions(folder_, fs::perms::owner_all);
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};
#endif

}  // namespace

TEST(PlaceAll, EveryFileTakesItsNameAndNoOldFileStays) {
  TempDir dir;
  const std::string base = dir.file("M");
  InstallOldCopy(base);
  MemberWriter writer(base);
  std::vector<PlaceStep> steps = Prepare(writer, base);
  std::string error;
  ASSERT_TRUE(PlaceAll(steps, error)) << error;
  for (const char* rel : {"a/one", "b/two", "c/three", "d/new/four"}) {
    SCOPED_TRACE(rel);
    EXPECT_EQ(ReadFile(base + "/" + rel), std::string("new ") + rel);
    EXPECT_EQ(testsupport::TimeOf(base + "/" + rel), 1700000000);
  }
  EXPECT_FALSE(fs::exists(base + "/gone.txt"));
  EXPECT_EQ(Leftovers(base), std::vector<std::string>{});
}

// A failure half-way, after the first file has taken its name: the second target cannot be
// replaced. Every old file is back with its bytes, time and bits, and nothing new stays.
TEST(PlaceAll, AFailureHalfWayPutsEveryOldFileBack) {
  struct Case {
    const char* what;
    // Breaks the second target once everything is ready; the state to expect afterwards is
    // taken after this runs.
    std::function<void(const std::string& base)> breakSecond;
    std::function<void(const std::string& base)> mend;
  };
  std::vector<Case> cases = {
      {"the second target became a folder",
       [](const std::string& base) {
         fs::remove(base + "/b/two");
         fs::create_directory(base + "/b/two");
         WriteFile(base + "/b/two/inside", "someone's folder");
       },
       {}},
  };
#ifndef _WIN32
  // The namespace first: the writer's folders must be opened in the one the mount is made in.
  if (::geteuid() == 0) {
    ASSERT_TRUE(testsupport::PrivateMountNamespace()) << std::strerror(errno);
  }
  std::unique_ptr<Unwritable> locked;
  cases.push_back({"the second target's folder became read-only",
                   [&](const std::string& base) {
                     locked = std::make_unique<Unwritable>(base + "/b");
                     locked->Lock();
                   },
                   [&](const std::string&) { locked.reset(); }});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string base = dir.file("M");
    InstallOldCopy(base);
    const auto installed = Snapshot(base);
    std::map<std::string, fs::perms> modes;
    for (const Installed& f : kInstalled) modes[f.rel] = fs::status(base + "/" + f.rel).permissions();
    MemberWriter writer(base);
    std::vector<PlaceStep> steps = Prepare(writer, base);
    ASSERT_FALSE(HasFailure());
    c.breakSecond(base);
    if (HasFailure()) return;
    auto expected = installed;
    if (!fs::is_regular_file(base + "/b/two")) {
      expected[Key("b/two/inside")] = Snapshot(base + "/b/two/inside")[""];
      expected[Key("b/two")] = "folder";
    }
    std::string error;
    EXPECT_FALSE(PlaceAll(steps, error));
    EXPECT_NE(error.find("b/two"), std::string::npos) << error;
    EXPECT_TRUE(steps[0].pending.kept.empty());
    if (c.mend) c.mend(base);
    writer.RemoveCreatedFolders();
    auto after = Snapshot(base);
    // A folder nobody may write keeps the file that was made ready in it before it turned
    // read-only; nothing else of this install may stay.
    std::erase_if(after, [](const auto& entry) { return entry.first.rfind(Key("b/.zvtmp-"), 0) == 0; });
    EXPECT_EQ(after, expected);
    for (const Installed& f : kInstalled) {
      if (std::string(f.rel) == "b/two" && !fs::is_regular_file(base + "/b/two")) continue;
      SCOPED_TRACE(f.rel);
      EXPECT_EQ(ReadFile(base + "/" + f.rel), f.bytes);
      EXPECT_EQ(fs::status(base + "/" + f.rel).permissions(), modes[f.rel]);
      EXPECT_EQ(testsupport::TimeOf(base + "/" + f.rel), f.time);
    }
    EXPECT_EQ(ReadFile(base + "/gone.txt"), "to be deleted");
    EXPECT_FALSE(fs::exists(base + "/d"));  // the folders this install made are gone
  }
}

// A deletion that cannot happen fails the install like a file that cannot be placed.
TEST(PlaceAll, ADeletionThatFailsUndoesTheFilesPlacedBeforeIt) {
  TempDir dir;
  const std::string base = dir.file("M");
  InstallOldCopy(base);
  fs::remove(base + "/gone.txt");
  fs::create_directory(base + "/gone.txt");
  WriteFile(base + "/gone.txt/inside", "a folder now");
  const auto before = Snapshot(base);
  MemberWriter writer(base);
  std::vector<PlaceStep> steps = Prepare(writer, base);
  std::string error;
  EXPECT_FALSE(PlaceAll(steps, error));
  EXPECT_NE(error.find("gone.txt"), std::string::npos) << error;
  writer.RemoveCreatedFolders();
  EXPECT_EQ(Snapshot(base), before);
}

// Folders the writer made (the destination's missing parents included) go when the install
// that made them fails, but a folder that someone else put something in stays.
TEST(PlaceAll, OnlyTheFoldersThisInstallMadeAreRemoved) {
  TempDir dir;
  fs::create_directories(dir.file("kept/sub"));
  const auto before = Snapshot(dir.path());
  MemberWriter writer(dir.file("kept/sub/new/base"));
  ASSERT_TRUE(writer.Valid());
  MemberWriter::Pending a, b;
  std::string error;
  ASSERT_TRUE(writer.Begin("x/y/a.bin", a, error)) << error;
  ASSERT_TRUE(writer.Begin("z/b.bin", b, error)) << error;
  writer.Abort(a);
  writer.Abort(b);
  WriteFile(dir.file("kept/sub/new/base/z/someone-else"), "stays");
  writer.RemoveCreatedFolders();
  auto expected = before;
  for (const char* folder : {"kept/sub/new", "kept/sub/new/base", "kept/sub/new/base/z"}) expected[Key(folder)] = "folder";
  expected[Key("kept/sub/new/base/z/someone-else")] = Snapshot(dir.file("kept/sub/new/base/z/someone-else"))[""];
  EXPECT_EQ(Snapshot(dir.path()), expected);
}
