// Reading manifests back: which sources the finished lines of one or more manifests mark done.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The fields of one manifest line that say what became of a source.
struct ManifestLine {
  std::string source;
  std::string status;    // "done" or "failed"
  std::string finished;  // UTC time, "YYYY-MM-DDTHH:MM:SSZ"
};

// One manifest line read with a strict JSON reader; empty when the line is not a JSON object
// holding the strings "source", "status" and "finished" (a line cut short by a crash, a line
// of something else).
std::optional<ManifestLine> ParseManifestLine(std::string_view line);

// The last word on each source over several manifests: within a file a later line is later;
// between files the later `finished` time wins, and at the same second a "done" line wins (an
// output was put in place). Lines that cannot be read are told to `problem` (with the file
// and line number) and skipped; a manifest that does not exist has no lines (a shard that never
// started wrote none), and is told to `problem` too.
class ManifestHistory {
 public:
  using ProblemSink = void (*)(const std::string& text);
  // False only when a manifest that exists cannot be read at all; `error` says why.
  bool Read(const std::vector<std::string>& manifests, ProblemSink problem, std::string& error);
  // Whether the latest line about the source (an absolute path) marks it done.
  bool IsDone(const std::string& source) const;

 private:
  void Take(const ManifestLine& line, int fileIndex, long lineIndex);
  struct Latest {
    ManifestLine line;
    int file = 0;
    long index = 0;
  };
  std::map<std::string, Latest> latest_;
};
