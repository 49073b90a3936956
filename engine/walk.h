#pragma once

#include "searchstate.h"

// Walks every root of the search in order, accepting hits through state.accept and
// reporting progress every 200th directory. Ends early on a cancellation or when the
// limit is reached. The contract of the walk is stated in walk.cpp.
void qlWalkRoots(QLSearchState &state, const QLProgressCallback &onProgress);
