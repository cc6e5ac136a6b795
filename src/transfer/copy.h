// Plain copy of one listed file, in chunks of 1,000,000 bytes, with progress and cancel.
#pragma once

constexpr unsigned kCopyChunkBytes = 1000000;

// True when the destination holds all the source's bytes; false after a message or a
// confirmed cancel.
bool CopyFileChunked(const wchar_t* sourcePath, const wchar_t* destinationPath);

// Asks "インストールを中断しますか？" when a cancel is pending and clears the flag. True when
// the user confirmed the abort.
bool ConfirmCancel();
