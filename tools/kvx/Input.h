// Where kvx reads the data it sends: files, and standard input read the way
// netcat reads it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace kvx {

// The bytes must pass unchanged: the C runtime on Windows translates line
// ends on the standard streams unless they are switched to binary mode.
void UseBinaryStandardStreams();

// Where a command reads the data it sends, one message at a time.
class InputSource {
 public:
  enum class Read { Piece, End, Failed };
  virtual ~InputSource() = default;
  // The next message's bytes (Piece, may be empty), or the end of input, or
  // Failed with `error` saying what and why.
  virtual Read Next(std::string* piece, std::string* error) = 0;
};

// A file ("-": standard input) read as it goes, in messages of at most
// `messageSize` bytes: whatever its size, no more than one message is held.
class FileSource : public InputSource {
 public:
  FileSource(std::string path, size_t messageSize);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Opens the file; false with `error` naming it and why (a folder too).
  bool Open(std::string* error);
  Read Next(std::string* piece, std::string* error) override;

 private:
  const std::string path_;
  const std::string shown_;
  const size_t messageSize_;
  std::FILE* file_ = nullptr;
  bool first_ = true;  // an empty file is still one (empty) message
};

// Reads what standard input has now, at most `size` bytes, waiting only
// until there is something: 0 at the end of input, -1 on an error (errno).
long ReadAvailableInput(char* buffer, size_t size);

}  // namespace kvx
