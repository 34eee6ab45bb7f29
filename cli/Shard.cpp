// Splitting a batch into shards by a stable order.
#include "cli/Shard.h"

#include <algorithm>
#include <charconv>

#include "encoder/PathText.h"

namespace {

bool ParseCount(std::string_view text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

}  // namespace

bool ParseShard(const std::string& text, ShardSpec& shard, std::string& error) {
  size_t slash = text.find('/');
  ShardSpec s;
  if (slash == std::string::npos || !ParseCount(std::string_view(text).substr(0, slash), s.index) ||
      !ParseCount(std::string_view(text).substr(slash + 1), s.count)) {
    error = "--shard needs I/N with whole numbers, e.g. 0/4";
    return false;
  }
  if (s.count < 1 || s.index >= s.count) {
    error = "--shard I/N needs 0 <= I < N (shards are counted from 0)";
    return false;
  }
  shard = s;
  return true;
}

std::vector<std::string> SelectShard(const std::vector<std::string>& files, const ShardSpec& shard) {
  std::vector<std::pair<std::string, std::string>> keyed;  // absolute path, the name as given
  keyed.reserve(files.size());
  for (const std::string& file : files) {
    keyed.emplace_back(AbsolutePath(file), file);
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> mine;
  for (size_t i = static_cast<size_t>(shard.index); i < keyed.size(); i += static_cast<size_t>(shard.count))
    mine.push_back(keyed[i].second);
  return mine;
}
