// Where kvx reads the data it sends: files, and standard input read the way
// netcat reads it.
#pragma once

#include <cstddef>
#include <string>

namespace kvx {

// The bytes must pass unchanged: the C runtime on Windows translates line
// ends on the standard streams unless they are switched to binary mode.
void UseBinaryStandardStreams();

// The whole of file `path` ("-" is standard input). On failure returns false
// with `error` saying which file and why.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* error);

// Reads what standard input has now, at most `size` bytes, waiting only
// until there is something: 0 at the end of input, -1 on an error (errno).
long ReadAvailableInput(char* buffer, size_t size);

}  // namespace kvx
