// The last step of an install: files made ready beside their targets take their names, and
// files to delete go, all of them or none.
#pragma once

#include <span>
#include <string>

#include "update/MemberWriter.h"

struct PlaceStep {
  MemberWriter* writer = nullptr;
  MemberWriter::Pending pending;  // finished (MemberWriter::Finish) unless `removal`
  bool removal = false;
  std::string rel;     // a removal's path below the writer's base
  std::string target;  // the full path, for messages
};

// Puts every step in place in order, each old file kept under a second name. On the first
// failure every step already done is undone, newest first (the old files take their names
// back, new names go), the finished files not yet placed are removed, and `error` names the
// target that failed; only after every step succeeded are the kept old files removed.
bool PlaceAll(std::span<PlaceStep> steps, std::string& error);

// Removes the finished files of steps that were never placed (an install that stopped before
// its last step); PlaceAll does this itself when it fails.
void DiscardAll(std::span<PlaceStep> steps);
