#pragma once

#include <cstddef>
#include <string>

namespace rodiz {

// Whole-file reads and replacements of small data files, such that a reader
// never sees a file cut short: the new content goes to a temporary file in
// the same folder, is flushed to the disk, and is then renamed over the old
// file in one step. A crash or a full disk leaves either the old file or the
// new one, never a mixture, and no temporary file is left behind by a failed
// call. Paths are UTF-8.
class AtomicFile {
 public:
  enum class ReadResult {
    Read,      // `content` holds the whole file
    Missing,   // no such file, or it cannot be opened
    NotAFile,  // the path names a directory or another non-regular file
    TooLarge,  // larger than the caller's limit; nothing was read
    Failed,    // a read error after opening
  };

  // Reads the regular file at `path` into `content` (emptied first).
  static ReadResult read(const std::string& path, std::size_t max_size, std::string& content);
  // Replaces (or creates) the file at `path` with `content`. False when the
  // folder is missing or not writable, the disk is full, or `path` names a
  // directory; the old file is then left as it was.
  static bool replace(const std::string& path, const std::string& content);
};

}  // namespace rodiz
