// Expansion of one ".bz2" file from the disc into its destination.
#pragma once

constexpr unsigned kExpandChunkBytes = 4096;

// True when the whole compressed data expanded; false after a message or a confirmed cancel.
bool ExpandBz2File(const wchar_t* destinationPath, const wchar_t* sourcePath);
