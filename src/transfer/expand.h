// Expansion of one ".bz2" file from the disc into its destination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/progress_sink.h"
#include "transfer/read_ahead.h"

constexpr unsigned kExpandChunkBytes = 4096;

// True when the whole compressed data expanded; false after a message or when the sink said stop
// before a chunk. With opened, the source's size and bytes come from there instead of the
// expansion's own reading.
bool ExpandBz2File(const wchar_t* sourcePath, const wchar_t* destinationPath, ProgressSink& progress,
                   const OpenedSource* opened = nullptr);

// Takes expanded bytes that go to no file; false makes the expansion fail as a failed write.
using ExpandedBytes = std::function<bool(const uint8_t* bytes, size_t count)>;

// The same expansion of the compressed bytes of an open file from its current position, at most
// sourceBytes of them, handed to output instead of written to a file: for reading a file inside
// a disc image. sourceName names the source in the messages, which are those of ExpandBz2File.
bool ExpandBz2Stream(HANDLE source, uint64_t sourceBytes, const wchar_t* sourceName, const ExpandedBytes& output,
                     ProgressSink& progress);

// How many threads decode blocks: 0 (the default) for one per logical processor. One keeps the
// whole expansion on the calling thread.
void SetExpansionThreads(unsigned count);

class ExpansionHooks;
// For tests: the hooks the expansions that start from now on call (nullptr: none).
void SetExpansionHooks(ExpansionHooks* hooks);
