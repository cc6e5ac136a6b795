// Expansion of one ".bz2" file from the disc into its destination.
#pragma once

#include "base/progress_sink.h"

constexpr unsigned kExpandChunkBytes = 4096;

// True when the whole compressed data expanded; false after a message or when the sink said stop
// before a chunk.
bool ExpandBz2File(const wchar_t* sourcePath, const wchar_t* destinationPath, ProgressSink& progress);

// How many threads decode blocks: 0 (the default) for one per logical processor. One keeps the
// whole expansion on the calling thread.
void SetExpansionThreads(unsigned count);

class ExpansionHooks;
// For tests: the hooks the expansions that start from now on call (nullptr: none).
void SetExpansionHooks(ExpansionHooks* hooks);
