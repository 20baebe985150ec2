#pragma once
// The local copy of each capture: the snapshot file copied to the chosen file
// name, one log line (the reason for a failure on standard error), then the
// snapshot use given back.
#include <string>

#include "publish/snapshot.h"

namespace snapvane {

class UiSink;

// Runs on the calling worker thread. Logs through ui without holding the
// lock, then releases use (the last user deletes the snapshot file).
void LocalSaveWorker(UiSink* ui, SnapshotUse use, std::string fileName);

// What a copy came to: nothing failed, or the step that failed and its errno.
struct CopyOutcome {
  const char* step = nullptr;
  int error = 0;
  bool ok() const { return step == nullptr; }
  std::string Why() const;  // "step: error text", empty when ok
};

// Writes all of data to fd, continuing after short writes; false (errno set) when
// a write fails.
bool WriteAll(int fd, const char* data, size_t length);
// Copies from the start of in into the open file out, then flushes it to disk.
CopyOutcome CopyAndSync(int in, int out);

// Replaces destination with a copy of source so that a reader sees either the old
// file or the complete new one: a temporary file beside it, given the old file's
// owner, group and mode, renamed over it. Where that would change more than the
// contents (other hard links, another owner or group, a folder that refuses new
// names, a dangling symbolic link) the existing file is written in place, as a
// plain copy does. A symbolic link stays a link. No temporary file remains.
CopyOutcome ReplaceFileWithCopy(const char* source, const std::string& destination);

}  // namespace snapvane
