#pragma once

// The directory walk.
//
// Contract:
// - It only lists folders and stats candidate files: it never opens a file for reading,
//   never writes, and never follows a symbolic link into a folder (a root that is a link
//   is followed, since the user named it).
// - Hits come in walk order: depth-first pre-order over the roots in their order; within
//   a folder, its files in listing order, then its subfolders one by one in listing order.
//   Every subfolder met is counted (skipped ones too) when the walk reaches it; every
//   200th, if it is entered or is a package, is reported through onProgress.
// - The walk ends early when cancelled (polled before each root, subfolder and candidate
//   file, and while it waits for a folder) or when the limit is reached; from then on no
//   further folder is read.
// - Folders are read ahead of the walker by a few reader threads, in walk order, into
//   memory bounded in bytes. The walker consumes their listings in order, so neither the
//   hits, their order, the counts nor the progress depend on the readers. Callbacks run on
//   the calling thread only.
// - Descriptors are bounded by what the process may still open; there is no recursion, so
//   trees thousands of levels deep (deeper than PATH_MAX) are walked to the end.
// - A folder that cannot be read, or became unreachable while the walk was below it, is
//   skipped with what lies under it, and nothing else is.

#include "searchstate.h"

#include <functional>

// Walks every root of the search in order, accepting hits through state.accept.
void qlWalkRoots(QLSearchState &state, const QLProgressCallback &onProgress);

// Knobs for tests and benchmarks. The defaults are what the program uses.
struct QLWalkTuning
{
    int readers = -1;        // reader threads; 0 reads every folder on the walking thread; -1: default
    size_t aheadBytes = 0;   // bytes of listings read ahead of the walker; 0: default
    // Called on the thread that reads: with 0 before a folder is opened, then with the
    // number of its entries listed so far after each batch.
    std::function<void(const QByteArray &folder, quint64 entriesListed)> onRead;
};
void qlSetWalkTuning(const QLWalkTuning &tuning);
