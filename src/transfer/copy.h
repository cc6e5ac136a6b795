// Plain copy of one listed file, in chunks of 1,000,000 bytes, with progress and cancel.
#pragma once

#include "base/progress_sink.h"

constexpr unsigned kCopyChunkBytes = 1000000;

// True when the destination holds all the source's bytes; false after a message or when the
// sink said stop before a chunk.
bool CopyFileChunked(const wchar_t* sourcePath, const wchar_t* destinationPath, ProgressSink& progress);
