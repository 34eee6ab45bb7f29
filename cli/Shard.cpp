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
  if (s.count < 1) {
    error = "--shard " + text + ": N is the number of shards and must be 1 or more";
    return false;
  }
  if (s.index >= s.count) {
    const std::string n = std::to_string(s.count), last = std::to_string(s.count - 1);
    error = "--shard " + text + ": there is no shard " + std::to_string(s.index) + " of " + n +
            ": shards are counted from 0, so " + n + " shards are 0/" + n + " to " + last + "/" + n +
            " (a job array for them is numbered 0-" + last + " with step 1)";
    return false;
  }
  shard = s;
  return true;
}

std::vector<size_t> SortedByPath(const std::vector<std::string>& files) {
  std::vector<std::pair<std::string, size_t>> keyed;  // absolute path, position as given
  keyed.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) keyed.emplace_back(AbsolutePath(files[i]), i);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<size_t> order;
  order.reserve(keyed.size());
  for (const auto& entry : keyed) order.push_back(entry.second);
  return order;
}

std::vector<std::string> SelectShard(const std::vector<std::string>& files, const ShardSpec& shard) {
  std::vector<size_t> order = SortedByPath(files);
  std::vector<std::string> mine;
  for (size_t i = static_cast<size_t>(shard.index); i < order.size(); i += static_cast<size_t>(shard.count))
    mine.push_back(files[order[i]]);
  return mine;
}
