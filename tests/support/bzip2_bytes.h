// Compressed test data, made with libbzip2 itself so that the installer's expansion is checked
// against the format's own writer.
#pragma once

#include <string>

// bytes as one bzip2 stream (900 KB blocks) in *packed; false when the library refuses.
bool Bzip2Bytes(const std::string& bytes, std::string* packed);
