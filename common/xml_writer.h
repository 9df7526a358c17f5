// Forward-only writer of indented UTF-8 XML files, and whole-text file output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/mvn_base.h"

// An output file in text mode: every line feed reaches the disk as CR LF.
class CMvnWebFile : public CMvnBase {
 public:
  explicit CMvnWebFile(const char* class_name);
  ~CMvnWebFile() override;

  // Closes a stream still open, then creates or empties path. The depth is not reset.
  bool Open(const char* path);
  void Close();
  bool IsOpen() const { return stream_ != nullptr; }

  // Converts length bytes of ANSI text to UTF-8 (no byte-order mark) and writes them; each
  // UTF-16 unit is encoded on its own, as the host's readers have always received it.
  void WriteUtf8(const char* text, std::size_t length);

 protected:
  // length bytes of room at the end of the buffer, to be filled at once; null when the buffer is
  // smaller than that.
  char* Room(std::size_t length);

 private:
  // Collects what is written and hands the stream a whole buffer at once: a document is many short
  // writes, and each write to a stream costs more than the copy.
  void Put(const char* bytes, std::size_t length);
  void Flush();

  std::FILE* stream_;
  std::size_t used_;
  char buffer_[4096];
  std::string utf8_;
};

class CMvnXmlFile : public CMvnWebFile {
 public:
  explicit CMvnXmlFile(const char* class_name);

  // Every write below does nothing at all (depth included) while no stream is open. The caller
  // keeps elements well nested; nothing is validated, names are written as given.
  void WriteHeader();
  void OpenElement(const char* name);
  void CloseElement(const char* name);
  // A leaf on one line, the value escaped; null is written as empty text.
  void WriteElement(const char* name, const char* value);
  void WriteElement(const char* name, int32_t number);

  // Elements opened and not yet closed; goes below 0 on an unmatched close.
  int32_t Depth() const { return depth_; }

 private:
  void AppendIndent(CMvnString& line) const;
  // Writes indent, before, name, ">" and a line feed; false, having written nothing, when the
  // buffer cannot take them at once.
  bool PutPlainTag(const char* before, const char* name, std::size_t name_length);

  int32_t depth_;
};

// Stores text whole in path (created or replaced), without conversion and in text mode.
// 0 when written, -1 when the file cannot be opened.
int32_t WriteTextFile(const char* path, const char* text);
