// Writes archive members below one folder: never through a link, never a half file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// Every folder below the base is opened one component at a time without following links,
// so a link planted inside the destination (or made by an earlier member) cannot lead a
// member out of it. A file is written under a temporary name in its folder and renamed
// onto its name only when complete; a link already at that name is replaced, not followed.
class MemberWriter {
 public:
  // `base` is created with its missing parents when absent.
  explicit MemberWriter(const std::string& base);
  ~MemberWriter();
  MemberWriter(const MemberWriter&) = delete;
  MemberWriter& operator=(const MemberWriter&) = delete;

  bool Valid() const { return m_base >= 0; }

  // A file being written: its folder, its descriptor (a HANDLE on Windows), the temporary
  // and the final name. On Windows the folder is held by its checked path instead.
  struct Pending {
    int folder = -1;
    std::intptr_t fd = -1;
    std::string temp;
    std::string name;
    std::string folderPath;
    std::string relFolder;  // the folder below the base, for Place and Discard after Finish
    // Once placed: the old file kept under this name in the same folder until the whole
    // install has succeeded (empty: there was none), and how to undo the placing.
    std::string kept;
    bool placed = false;
    bool keptAside = false;        // the old file was renamed away, not linked (no name was left)
    unsigned long keptAttributes = 0;  // Windows: the old file's attributes, given back on Restore
  };

  // `path` is a safe relative path ('/' separators). The folders are created with `mode`.
  bool MakeFolders(const std::string& path, unsigned mode, std::string& error);
  // Whether anything (a link included) exists at `path`.
  bool Exists(const std::string& path);
  // Creates the parent folders and the temporary file. A name held by anything but a file or
  // a link (a folder, a FIFO, a device) is refused here, before anything is written.
  bool Begin(const std::string& path, Pending& file, std::string& error);
  bool Write(Pending& file, const char* data, size_t size);
  // Sets the permission bits and (when given) the modification time, closes the file and
  // renames it onto its name. On failure the temporary file is removed.
  bool Commit(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error);
  // Closes and removes the temporary file.
  void Abort(Pending& file);

  // Commit in two steps, so that many files can be made ready before any takes its name:
  // Finish sets the bits and time and closes everything (no descriptor stays open); Place
  // renames the finished file onto its name, entering its folder again without following
  // links, and keeps the old file (a second name for it) until Release or Restore; Discard
  // removes a finished file that is not to be placed. A failed Place changes nothing and
  // removes the finished file.
  bool Finish(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error);
  bool Place(Pending& file, std::string& error);
  void Discard(Pending& file);
  // Takes the file at `path` away, kept as by Place (Restore brings it back, Release ends it);
  // nothing there is no error. Anything but a file or a link there is refused.
  bool SetAside(const std::string& path, Pending& file, std::string& error);
  // Undoes Place or SetAside: the old file takes its name again (the new one goes), or the new
  // file goes when there was no old one.
  void Restore(Pending& file);
  // Ends a successful Place or SetAside: the kept old file is removed.
  void Release(Pending& file);
  // Removes, newest first, the folders this writer created (the base's missing parents
  // included) that are empty: what an install that failed made and nothing else.
  void RemoveCreatedFolders();

 private:
  // The folder `path` (relative, may be empty for the base) as a new descriptor, or -1.
  // On Windows 0 stands for success and the checked folder's path is put in `folderPath`.
  int OpenFolder(const std::string& path, bool create, unsigned mode, std::string& error, std::string* folderPath = nullptr);

  int m_base = -1;
  std::string m_basePath;
  // Folders this writer created, oldest first: the base and its parents by their full path,
  // those below the base relative to it.
  std::vector<std::string> m_createdAbove;
  std::vector<std::string> m_createdBelow;  // Windows: the base as an absolute path, checked free of links
};
