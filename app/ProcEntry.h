#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mirel {

// Reads the text of one process's files below /proc. Other users' programs
// choose their own names and command lines, so every field is treated as
// untrusted text: any input yields a value or "nothing", never a fault.
class ProcEntry {
 public:
  // The state letter of a /proc/<pid>/stat line ('R', 'S', 'Z', ...), or 0
  // when the text is no stat line. The program's name in parentheses may
  // itself hold ')' and spaces; the state follows the last ')'.
  static char StateOf(std::string_view stat);
  // The arguments of /proc/<pid>/cmdline, split at its NUL bytes. A program
  // that rewrote its command line into one string keeps that string whole.
  static std::vector<std::string> Arguments(std::string_view cmdline);
  // The last component of `path`, split at '/' and at '\\' (the Windows path
  // of a program run under Wine), without the " (deleted)" that the kernel
  // appends to the link of an executable that was replaced.
  static std::string BaseName(std::string_view path);
  // Whether `a` and `b` are the same name, ignoring the case of ASCII letters.
  static bool SameNameIgnoringCase(std::string_view a, std::string_view b);
  // The real and effective user ids of the "Uid:" line of a
  // /proc/<pid>/status text; false when it has no such line.
  static bool UidsOf(std::string_view status, unsigned long* real, unsigned long* effective);
};

}  // namespace mirel
