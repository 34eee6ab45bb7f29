// Private work folders of a row: where they are, that runs never share one, and that nothing is left.
#include <gtest/gtest.h>

#include <filesystem>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "TestSupport.h"
#include "encoder/WorkFolder.h"

namespace fs = std::filesystem;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

#ifdef _WIN32
// The variable that moves the user's local application data, where the work folders live.
constexpr const char* kBaseVariable = "ZELVORA_LOCAL_DATA_FOLDER";
// GetTempPathW reads TMP first.
constexpr const char* kTemporaryVariable = "TMP";
#else
constexpr const char* kBaseVariable = "XDG_CACHE_HOME";
constexpr const char* kTemporaryVariable = "TMPDIR";
#endif

}  // namespace

TEST(RowWorkFolder, PrivateNamedBySourceNeverSharedAndRemoved) {
  TempDir cache;
  ScopedEnv env(kBaseVariable, cache.str());
  std::string error, first, second;
  {
    RowWorkFolder a("/v/clip.avi");
    RowWorkFolder again("/v/clip.avi");
    RowWorkFolder other("/v/other.avi");
    first = a.Path(&error);
    ASSERT_FALSE(first.empty()) << error;
    EXPECT_EQ(a.Path(&error), first);  // made once
    EXPECT_EQ(fs::path(first).parent_path(), cache.path() / "zelvora" / "work");
#ifndef _WIN32
    // (On Windows the folder takes the permissions of the user's own application data.)
    struct stat st{};
    ASSERT_EQ(::stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
    // The same source in a second run at once gets a folder of its own.
    second = again.Path(&error);
    EXPECT_EQ(second, first + "-2");
    EXPECT_NE(other.Path(&error), first);
    testsupport::WriteFile((fs::path(first) / "subtitle.smi").string(), "x");
  }
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
  // Nothing else is left either (on Windows: the lock files beside the folders).
  EXPECT_TRUE(fs::is_empty(cache.path() / "zelvora" / "work"));
  // The next run of the source names the same folder again, as a dry run showed it; one left
  // behind by a run that died is emptied first.
  fs::create_directories(first);
  testsupport::WriteFile((fs::path(first) / "stale").string(), "x");
  RowWorkFolder later("/v/clip.avi");
  EXPECT_EQ(later.Path(&error), first);
  EXPECT_TRUE(fs::is_empty(first));
}

TEST(RowWorkFolder, FallsBackToTheTemporaryFolderThenSaysWhy) {
  TempDir root;
  testsupport::WriteFile(root.file("file"), "x");
  ScopedEnv cacheEnv(kBaseVariable, root.file("file/cache"));
  std::string error;
  {
    ScopedEnv tmpEnv(kTemporaryVariable, root.file("tmp"));
    RowWorkFolder w("/v/clip.avi");
    std::string path = w.Path(&error);
#ifdef _WIN32
    EXPECT_EQ(path.rfind((root.path() / "tmp" / "zelvora" / "work").string(), 0), 0u) << path << " " << error;
#else
    EXPECT_EQ(path.rfind(root.file("tmp/zelvora-"), 0), 0u) << path << " " << error;
#endif
  }
  ScopedEnv tmpEnv(kTemporaryVariable, root.file("file/tmp"));
  RowWorkFolder w("/v/clip.avi");
  EXPECT_EQ(w.Path(&error), "");
  EXPECT_NE(error.find("no work folder can be made"), std::string::npos);
#ifndef _WIN32
  EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
#endif
}
