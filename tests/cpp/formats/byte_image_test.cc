// ByteImage: mapped files, owned buffers and views, and the refusals that
// happen before a byte is read.
#include "formats/byte_image.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using pinnet::formats::ByteImage;

class ByteImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("byte_image_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  std::filesystem::path dir_;
};

TEST_F(ByteImageFiles, MapsTheWholeFileAndCopiesShareIt) {
  std::optional<ByteImage> image;
  {
    auto r = ByteImage::map_file(write("model", "tesk bytes"));
    ASSERT_TRUE(r);
    image = r.value();  // the copy keeps the mapping after `r` is gone
  }
  ASSERT_NE(image->keeper(), nullptr);
  EXPECT_EQ(std::string(image->bytes().begin(), image->bytes().end()), "tesk bytes");
  const ByteImage copy = *image;
  image.reset();
  EXPECT_EQ(std::string(copy.bytes().begin(), copy.bytes().end()), "tesk bytes");
}

TEST_F(ByteImageFiles, RefusalsCarryTheTextErrnoAndPath) {
  // (path, text, errno); an empty file is an empty image, not a failure.
  const std::string missing = (dir_ / "absent").string();
  const struct {
    std::string path, text;
    int error_number;
  } cases[] = {
      {missing, std::strerror(ENOENT), ENOENT},
      {dir_.string(), std::strerror(EISDIR), EISDIR},
      {"/dev/null", "not a regular file", 0},
  };
  for (const auto& c : cases) {
    auto r = ByteImage::map_file(c.path);
    ASSERT_FALSE(r) << c.path;
    EXPECT_EQ(r.error().message, c.text);
    EXPECT_EQ(r.error().error_number, c.error_number);
    EXPECT_EQ(r.error().path, c.path);
  }
  auto empty = ByteImage::map_file(write("empty", ""));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.value().size(), 0u);
}

TEST(ByteImage, OwnedBuffersAndViews) {
  const ByteImage owned = ByteImage::owning({1, 2, 3});
  EXPECT_NE(owned.keeper(), nullptr);
  EXPECT_EQ(owned.size(), 3u);
  EXPECT_EQ(owned.data()[2], 3);
  const std::vector<uint8_t> caller = {4, 5};
  const ByteImage view = ByteImage::view(caller);
  EXPECT_EQ(view.keeper(), nullptr);
  EXPECT_EQ(view.data(), caller.data());
  EXPECT_EQ(view.size(), 2u);
}

}  // namespace
