// zelvora encode --shard I/N: one machine's share of a batch that several machines split.
#pragma once

#include <string>
#include <vector>

struct ShardSpec {
  int index = 0;  // I, counted from 0
  int count = 1;  // N
};

// Reads "I/N" (0 <= I < N); on failure sets `error` to what is wrong and how it should read
// (shards count from 0: a job array numbered from 1 gives a last shard N/N that does not exist).
bool ParseShard(const std::string& text, ShardSpec& shard, std::string& error);

// The positions of `files` sorted by their absolute paths, byte by byte (ties keep their order).
std::vector<size_t> SortedByPath(const std::vector<std::string>& files);

// The files of shard I out of N: every N-th file starting at the I-th, after sorting the files by
// their absolute path byte by byte. Sorting first makes the split the same on every machine
// whatever order the shell or the job runner listed them in (glob order follows the locale), so
// N shards together take each given file exactly once. The kept files stay in that sorted order.
std::vector<std::string> SelectShard(const std::vector<std::string>& files, const ShardSpec& shard);
