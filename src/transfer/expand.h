// Expansion of one ".bz2" file from the disc into its destination.
#pragma once

#include "base/progress_sink.h"
#include "transfer/read_ahead.h"

constexpr unsigned kExpandChunkBytes = 4096;

// True when the whole compressed data expanded; false after a message or when the sink said stop
// before a chunk. With opened, the source's size and bytes come from there instead of the
// expansion's own reading.
bool ExpandBz2File(const wchar_t* sourcePath, const wchar_t* destinationPath, ProgressSink& progress,
                   const OpenedSource* opened = nullptr);

// How many threads decode blocks: 0 (the default) for one per logical processor. One keeps the
// whole expansion on the calling thread.
void SetExpansionThreads(unsigned count);

class ExpansionHooks;
// For tests: the hooks the expansions that start from now on call (nullptr: none).
void SetExpansionHooks(ExpansionHooks* hooks);
