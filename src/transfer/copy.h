// Plain copy of one listed file, in chunks of 1,000,000 bytes, with progress and cancel.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/handles.h"
#include "base/progress_sink.h"
#include "transfer/read_ahead.h"

constexpr unsigned kCopyChunkBytes = 1000000;

// True when the destination holds all the source's bytes; false after a message or when the
// sink said stop before a chunk. With readBack, the destination is also opened for reading and,
// after a copy that succeeded, handed over open instead of closed, so that its check needs no
// second open; it stays empty when the destination could only be created for writing. With
// opened, the source's size and bytes come from there instead of the copy's own reading.
bool CopyFileChunked(const wchar_t* sourcePath, const wchar_t* destinationPath, ProgressSink& progress,
                     FileHandle* readBack = nullptr, const OpenedSource* opened = nullptr);

// The box for a copy whose source gave other than the bytes expected: stored of size, both shown
// whole however large.
void ShowCopySourceFault(HWND owner, const wchar_t* sourcePath, uint64_t stored, uint64_t size);
