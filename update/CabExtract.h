// Unpacking update packages that arrive as Microsoft Cabinet files (decoded by libmspack).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "update/ArchiveSafety.h"

// A cabinet decoder; made by CabOpen, released by CabClose (or when the handle goes).
class CabContext;
struct CabContextDeleter {
  void operator()(CabContext* context) const;
};
using CabHandle = std::unique_ptr<CabContext, CabContextDeleter>;

// Creates a decoder and checks that `path` is a cabinet. Null, with `reason` set to -1 (no
// decoder could be made), -2 (the file cannot be opened for reading) or -3 (not a cabinet).
CabHandle CabOpen(const std::string& path, int* reason);

// Writes every file of the cabinet below `destFolder` (replacing files of the same name),
// with its modification time (the cabinet's local time) and its read-only attribute, and
// returns the number of files written; -1 when the cabinet cannot be decoded or is refused
// (declared sizes past the limits); files written before a failure stay. A file whose name
// would leave the destination is logged and skipped. Once `stop` is set the decoder is made to
// give up at its next read or write (the member under way is dropped, the rest not begun) and
// -1 is returned with the report marked stopped.
int CabExtractAll(CabContext& context, const std::string& cabinetPath, const std::string& destFolder,
                  ArchiveReport* report = nullptr, const std::atomic<bool>* stop = nullptr);

// The path, below the destination, of the file at `position` in the cabinet's order
// ('/' separators); nothing when there is no such file or its name is unsafe.
std::optional<std::string> CabMemberName(CabContext& context, const std::string& cabinetPath, int position);

void CabClose(CabHandle& context);
