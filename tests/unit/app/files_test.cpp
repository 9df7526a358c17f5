#include "app/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

using kestrel::app::ReadPasswordFile;
using kestrel::app::ReadWholeFile;
using kestrel::testing::TempDir;

// content: null for no file, "/" for a folder.
void Make(const std::string& file, const char* content) {
  std::filesystem::remove_all(file);
  if (content != nullptr && std::string(content) == "/") {
    std::filesystem::create_directory(file);
  } else if (content != nullptr) {
    std::ofstream(file, std::ios::binary) << content;
  }
}

TEST(PasswordFileTest, MissingEmptyOrFolderIsRefused) {
  TempDir dir;
  const std::string file = dir.File("password");
  const struct {
    const char* content;
    const char* password;
    const char* error_part;
  } kCases[] = {
      {"s3cret\r\nsecond line\n", "s3cret", nullptr},
      {"s3cret", "s3cret", nullptr},
      {nullptr, nullptr, "No such file"},
      {"", nullptr, "is empty"},
      {"\nlater line\n", nullptr, "is empty"},
      {"/", nullptr, "is a folder"},
  };
  for (const auto& c : kCases) {
    Make(file, c.content);
    std::string password;
    std::string error;
    std::string warning;
    const bool read = ReadPasswordFile(file, password, error, warning);
    EXPECT_EQ(read, c.password != nullptr) << error;
    if (read) {
      EXPECT_EQ(password, c.password);
    } else {
      EXPECT_NE(error.find(file), std::string::npos) << error;
      EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    }
  }
}

#if !defined(_WIN32)
TEST(PasswordFileTest, WarnsWhenOthersCanReadIt) {
  TempDir dir;
  const std::string file = dir.File("password");
  std::ofstream(file) << "s3cret\n";
  for (const auto& [perms, warns] : {std::pair{std::filesystem::perms::owner_read, false},
                                     std::pair{std::filesystem::perms::others_read, true}}) {
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | perms);
    std::string password, error, warning;
    EXPECT_TRUE(ReadPasswordFile(file, password, error, warning));
    EXPECT_EQ(!warning.empty(), warns) << warning;
  }
}
#endif

TEST(WholeFileTest, BytesOrWhyNot) {
  TempDir dir;
  const std::string file = dir.File("f");
  const struct {
    const char* content;
    const char* why_part;  // null: read
  } kCases[] = {
      {"a b\r\n\xff", nullptr},
      {"", nullptr},
      {nullptr, "No such file"},
      {"/", "a folder"},
  };
  for (const auto& c : kCases) {
    Make(file, c.content);
    std::string bytes = "left over";
    std::string why;
    const bool read = ReadWholeFile(file, bytes, why);
    EXPECT_EQ(read, c.why_part == nullptr) << why;
    if (read) {
      EXPECT_EQ(bytes, c.content);
    } else {
      EXPECT_NE(why.find(c.why_part), std::string::npos) << why;
    }
  }
}

}  // namespace
