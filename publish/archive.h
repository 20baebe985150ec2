#pragma once
// The archive: a copy of every timed capture under a name made from a pattern
// with strftime codes (for a timelapse), written like the local copy (never
// half a file), and a retention that removes only what the archive wrote. What
// it wrote is listed in an index file at the archive's root (the pattern's
// folders before the first % code): one line per copy, "<time> <path below
// the root>".
#include <ctime>
#include <string>
#include <string_view>

#include "publish/local_save.h"
#include "publish/snapshot.h"

namespace snapvane {

class UiSink;

inline constexpr char kArchiveIndexName[] = ".snapvane-archive";
inline constexpr int kMaxArchiveCounter = 9999;  // name-2 .. name-9999 for names taken

// The pattern with "~/" as the home folder and its codes filled for when.
std::string ArchivePathFor(std::string_view pattern, std::time_t when);
// The folder where the archive's index lives.
std::string ArchiveRoot(std::string_view pattern);

struct ArchiveOutcome {
  CopyOutcome copy;
  std::string path;  // where the copy went (or was to go)
};
// Copies source to the pattern's name for when: folders made as needed, a
// counter before the extension when the name exists (never overwriting), the
// copy listed in the index. A failure leaves no file behind.
ArchiveOutcome ArchiveCopy(const char* source, std::string_view pattern, std::time_t when);
// Removes the archive's own copies older than days (0: none) and the folders
// they leave empty; returns how many copies went. Files it did not write stay.
int PruneArchive(std::string_view pattern, int days, std::time_t now);

// Worker thread: one copy of use's picture, one log line, retention at most
// once an hour, then the use given back. Copies run one at a time.
void ArchiveWorker(UiSink* ui, SnapshotUse use, std::string pattern, int days);

}  // namespace snapvane
