#pragma once
// The local copy of each capture: the snapshot file copied to the chosen file
// name (temporary file beside it, flushed, renamed over it), one log line, then
// the snapshot use given back.
#include <string>

#include "publish/snapshot.h"

namespace snapvane {

struct AppState;

// Runs on the calling worker thread. Logs through state.ui without holding the
// lock, then releases use (the last user deletes the snapshot file).
void LocalSaveWorker(AppState& state, SnapshotUse use, std::string fileName);

// Replaces destination with a copy of source so that a reader sees either the old
// file or the complete new one. On failure the destination is left as it was and
// no temporary file remains. False on any failure.
bool ReplaceFileWithCopy(const char* source, const std::string& destination);

}  // namespace snapvane
