// The probe over real-world files that other programs wrote (cameras, phones, old Windows tools,
// web encoders), against values measured with ffprobe and cross-checked with mediainfo. The
// files and their expected.json live beside the source tree in shared/media/realworld; they are
// read in place.
#include <gtest/gtest.h>

#include <cmath>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/MediaInfo.h"

namespace {

// ---- a small JSON reader, enough for expected.json ----

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> members;

  const Json* get(const std::string& name) const {
    auto it = members.find(name);
    return it == members.end() ? nullptr : &it->second;
  }
  bool isNull() const { return kind == kNull; }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}

  Json document() {
    Json value = parse();
    blanks();
    if (pos_ != s_.size()) fail("text after the document");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error("expected.json: " + why + " at byte " + std::to_string(pos_));
  }
  void blanks() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool take(char c) {
    blanks();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }
  bool word(const char* w) {
    const size_t n = std::strlen(w);
    if (s_.compare(pos_, n, w) != 0) return false;
    pos_ += n;
    return true;
  }

  std::string string() {
    expect('"');
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      char c = s_[pos_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) fail("escape at the end");
      c = s_[pos_++];
      switch (c) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          // Names and notes only: a code point below 0x80 is kept, others become '?'.
          if (pos_ + 4 > s_.size()) fail("short \\u escape");
          const long code = std::strtol(s_.substr(pos_, 4).c_str(), nullptr, 16);
          out += code < 0x80 ? static_cast<char>(code) : '?';
          pos_ += 4;
          break;
        }
        default: out += c; break;
      }
    }
    expect('"');
    return out;
  }

  Json parse() {
    Json v;
    blanks();
    if (pos_ >= s_.size()) fail("end of text");
    const char c = s_[pos_];
    if (c == '{') {
      v.kind = Json::kObject;
      ++pos_;
      if (take('}')) return v;
      do {
        blanks();
        std::string name = string();
        expect(':');
        v.members[name] = parse();
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      v.kind = Json::kArray;
      ++pos_;
      if (take(']')) return v;
      do v.items.push_back(parse());
      while (take(','));
      expect(']');
    } else if (c == '"') {
      v.kind = Json::kString;
      v.text = string();
    } else if (word("true")) {
      v.kind = Json::kBool;
      v.boolean = true;
    } else if (word("false")) {
      v.kind = Json::kBool;
    } else if (word("null")) {
      v.kind = Json::kNull;
    } else {
      char* end = nullptr;
      v.kind = Json::kNumber;
      v.number = std::strtod(s_.c_str() + pos_, &end);
      if (end == s_.c_str() + pos_) fail("not a value");
      pos_ = static_cast<size_t>(end - s_.c_str());
    }
    return v;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

std::filesystem::path RealWorldFolder() {
  return std::filesystem::path(ZELVORA_SOURCE_DIR) / ".." / "shared" / "media" / "realworld";
}

// Tolerances of the measured values.
constexpr double kPlayTimeTolerance = 1.0;  // seconds; the probe keeps whole seconds
constexpr double kFrameRateTolerance = 0.05;

}  // namespace

TEST(RealWorldMedia, EveryFileAgreesWithTheMeasuredValues) {
  const std::filesystem::path folder = RealWorldFolder();
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no real-world media folder at " << folder;
  const Json expected = JsonReader(testsupport::ReadFile((folder / "expected.json").string())).document();
  const Json* files = expected.get("files");
  ASSERT_TRUE(files && files->kind == Json::kObject);
  ASSERT_FALSE(files->members.empty());

  for (const auto& [name, e] : files->members) {
    SCOPED_TRACE(name);
    const std::string path = (folder / name).string();
    ASSERT_TRUE(std::filesystem::is_regular_file(path));
    // Every file, readable by ffprobe or not, gets a result without a crash or a hang.
    const testmedia::Probed p = testmedia::ProbePath(path);

    std::set<std::string> uncertain;
    if (const Json* u = e.get("uncertain"))
      for (const Json& field : u->items) uncertain.insert(field.text);
    const Json* fails = e.get("ffprobe_fails");
    if ((fails && fails->boolean) || uncertain.count("everything")) {
      // Nothing to compare with; what the probe says must still be sane.
      if (p.type > 0) {
        EXPECT_GE(p.info.duration_s, 0);
        if (p.info.audio) {
          EXPECT_GE(p.info.audio->value1, 0);
        }
        if (p.info.video) {
          EXPECT_GE(p.info.video->value1, 0);
        }
      }
      continue;
    }

    ASSERT_GT(p.type, 0) << "not recognised";
    const Json* duration = e.get("duration_s");
    if (duration && !duration->isNull() && !uncertain.count("duration")) {
      EXPECT_NEAR(p.info.duration_s, duration->number, kPlayTimeTolerance) << "play time";
    }

    const Json* video = e.get("video");
    if (video && !video->isNull() && !uncertain.count("video_size")) {
      ASSERT_TRUE(p.info.video) << "no video stream";
      EXPECT_EQ(p.info.video->value1, static_cast<int>(video->items.at(0).number)) << "width";
      EXPECT_EQ(p.info.video->value2, static_cast<int>(video->items.at(1).number)) << "height";
    }

    const Json* fps = e.get("fps");
    if (fps && !fps->isNull() && !uncertain.count("fps")) {
      EXPECT_NEAR(p.info.fps, fps->number, kFrameRateTolerance) << "frame rate";
    }

    const Json* audio = e.get("audio");
    if (audio && !audio->isNull() && !uncertain.count("audio")) {
      ASSERT_TRUE(p.info.audio) << "no audio stream";
      EXPECT_EQ(p.info.audio->value1, static_cast<int>(audio->items.at(0).number)) << "sample rate";
      EXPECT_EQ(p.info.audio->value3, static_cast<int>(audio->items.at(1).number)) << "channels";
    }
    const Json* acodec = e.get("acodec");
    if (acodec && !acodec->isNull() && p.info.audio) {
      EXPECT_FALSE(p.info.audio->codec.empty()) << "audio codec name";
    }
    const Json* vcodec = e.get("vcodec");
    if (vcodec && !vcodec->isNull() && p.info.video) {
      EXPECT_FALSE(p.info.video->codec.empty()) << "video codec name";
    }
  }
}

// A Korean name, and a folder path past 260 characters, reach the file calls intact: the copy
// probes exactly as the original does.
TEST(RealWorldMedia, KoreanNameInALongFolderProbesAsTheOriginal) {
  const std::filesystem::path folder = RealWorldFolder();
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no real-world media folder at " << folder;
  const std::string original = (folder / "Borewit__music-metadata__29_-_Dominator.mp3").string();
  if (!std::filesystem::is_regular_file(original)) GTEST_SKIP() << "no " << original;
  testsupport::TempDir dir;
  std::string deep = dir.str();
  while (deep.size() < 300) deep += "/\xED\x8F\xB4\xEB\x8D\x94-folder";  // 폴더
  const std::string copy = deep + "/\xED\x95\x9C\xEA\xB8\x80 \xEC\x98\x81\xEC\x83\x81.mp3";  // 한글 영상
  const auto asPath = [](const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  };
  std::filesystem::create_directories(asPath(deep));
  std::filesystem::copy_file(std::filesystem::path(original), asPath(copy));

  const testmedia::Probed a = testmedia::ProbePath(original);
  const testmedia::Probed b = testmedia::ProbePath(copy);
  ASSERT_GT(a.type, 0);
  EXPECT_EQ(b.type, a.type);
  EXPECT_EQ(b.info.duration_s, a.info.duration_s);
  ASSERT_TRUE(a.info.audio && b.info.audio);
  EXPECT_EQ(b.info.audio->value1, a.info.audio->value1);
}
