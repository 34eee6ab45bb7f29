// Publisher keys and signed update sections for the tests, made with Debian's minisign at test time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace signing {

inline bool HaveMinisign() { return testsupport::HaveFixtureTool("minisign"); }

// A file's modification time in whole seconds since 1970, the version a publisher signs.
inline int64_t SecondsOf(const std::string& path) {
  std::error_code error;
  const auto t = std::filesystem::last_write_time(path, error);
  if (error) return -1;
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::file_clock::to_sys(t).time_since_epoch())
      .count();
}

// The trusted comment of a published file: section, folder letter, SUBFOLDER/NAME (NAME alone
// without a subfolder) and the version.
inline std::string FileComment(const std::string& section, char folder, const std::string& subdir,
                               const std::string& name, int64_t time) {
  return "zelvora-update " + section + " " + folder + " " + (subdir.empty() ? name : subdir + "/" + name) + " " +
         std::to_string(time);
}

inline std::string ManifestComment(const std::string& section, int64_t time) {
  return "zelvora-manifest " + section + " " + std::to_string(time);
}

// A publisher's key pair without a password (minisign -G -W), in a folder of its own.
class KeyPair {
 public:
  KeyPair() {
    ok_ = testsupport::RunFixtureTool({"minisign", "-G", "-W", "-p", PublicKeyFile(), "-s", SecretKeyFile()}, &output_) == 0;
  }
  bool ok() const { return ok_; }
  const std::string& output() const { return output_; }
  std::string PublicKeyFile() const { return dir_.file("minisign.pub"); }
  std::string SecretKeyFile() const { return dir_.file("minisign.key"); }
  // The key as a setting holds it: the second line of minisign.pub.
  std::string PublicKey() const {
    std::istringstream in(testsupport::ReadFile(PublicKeyFile()));
    std::string line;
    std::getline(in, line);
    std::getline(in, line);
    return line;
  }
  // Signs `file` with `comment` as its trusted comment into `signature` (FILE.minisig when empty).
  bool Sign(const std::string& file, const std::string& comment, const std::string& signature = "",
            std::string* output = nullptr) const {
    std::string out;
    const int status = testsupport::RunFixtureTool({"minisign", "-S", "-s", SecretKeyFile(), "-m", file, "-x",
                                                    signature.empty() ? file + ".minisig" : signature, "-t", comment},
                                                   &out);
    if (output) *output = out;
    return status == 0;
  }

 private:
  testsupport::TempDir dir_;
  bool ok_ = false;
  std::string output_;
};

// Signs a section as a publisher does: every file its manifest names (but D lines) with its
// modification time as the version, then the manifest itself. `sectionDir` is ROOT/SECTION.
inline void SignSection(const KeyPair& key, const std::string& sectionDir, int64_t manifestTime = 1800000000) {
  ASSERT_TRUE(key.ok()) << key.output();
  const std::string section = std::filesystem::path(sectionDir).filename().string();
  std::istringstream in(testsupport::ReadFile(sectionDir + "/manifest.tsv"));
  std::string output;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string part; std::getline(fields, part, '\t');) f.push_back(part);
    if (f.size() != 4 || f[0] == "D" || f[1].size() != 1) continue;
    const std::string file = sectionDir + "/files/" + (f[2].empty() ? f[3] : f[2] + "/" + f[3]);
    if (!std::filesystem::exists(file)) continue;
    ASSERT_TRUE(key.Sign(file, FileComment(section, f[1][0], f[2], f[3], SecondsOf(file)), "", &output)) << output;
  }
  ASSERT_TRUE(key.Sign(sectionDir + "/manifest.tsv", ManifestComment(section, manifestTime), "", &output)) << output;
}

}  // namespace signing
