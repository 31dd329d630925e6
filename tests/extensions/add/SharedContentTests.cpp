// What porvane-add makes of its arguments: which are files, web addresses or text (a text
// with a colon is no address), valid UTF-8 out of any bytes, files that cannot be used and
// the errors that name them, and the first usable argument deciding.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "QBYSharedContent.h"
#include "support/TestSupport.h"

namespace porvane::add {
namespace {

namespace fs = std::filesystem;
using qby::test::makeTempDir;
using qby::test::writeFile;

std::string text(const QBYSharedContent& content) {
  return content.results ? (*content.results)["text"].asString().value_or("<none>") : "<none>";
}

TEST(SharedContentTest, ArgumentsAreFilesAddressesOrText) {
  EXPECT_EQ(kindOfArgument("1Z999AA10123456784"), QBYArgumentKind::Text);
  // "Tracking:" reads like a scheme, but a sentence is text.
  EXPECT_EQ(kindOfArgument("Tracking: 1Z999AA10123456784"), QBYArgumentKind::Text);
  EXPECT_EQ(kindOfArgument("Tracking:1Z999AA10123456784"), QBYArgumentKind::Text);
  EXPECT_EQ(kindOfArgument("https://www.ups.com/track?tracknum=1Z999AA10123456784"),
            QBYArgumentKind::WebAddress);
  EXPECT_EQ(kindOfArgument("http://example.com"), QBYArgumentKind::WebAddress);
  EXPECT_EQ(kindOfArgument("porvane://add?no=1"), QBYArgumentKind::WebAddress);
  EXPECT_EQ(kindOfArgument("https://example.com/a b"), QBYArgumentKind::Text);
  EXPECT_EQ(kindOfArgument("file:///tmp/parcel.txt"), QBYArgumentKind::File);
  EXPECT_EQ(kindOfArgument("/tmp/nothing-here.txt"), QBYArgumentKind::File);
  EXPECT_EQ(kindOfArgument("./parcel.txt"), QBYArgumentKind::File);
  EXPECT_EQ(kindOfArgument("~/parcel.txt"), QBYArgumentKind::File);
  EXPECT_EQ(kindOfArgument("HTTPS://EXAMPLE.COM"), QBYArgumentKind::WebAddress);
  EXPECT_EQ(kindOfArgument("git+ssh://host/x"), QBYArgumentKind::WebAddress);
  // A scheme begins with a letter: times and numbers with colons are text.
  EXPECT_EQ(kindOfArgument("12:30://x"), QBYArgumentKind::Text);
  EXPECT_EQ(kindOfArgument("://x"), QBYArgumentKind::Text);
  EXPECT_EQ(kindOfArgument(""), QBYArgumentKind::Text);
  EXPECT_EQ(kindOfArgument(std::string_view("/a\0b", 4)), QBYArgumentKind::Text);
}

TEST(SharedContentTest, TextsAndAddressesBecomeValidUTF8) {
  const auto plain = resultsForText("Parcel \xff\xfe 1Z999AA10123456784 caf\xc3\xa9");
  EXPECT_EQ(plain["text"].asString(),
            "Parcel \xEF\xBF\xBD\xEF\xBF\xBD 1Z999AA10123456784 caf\xc3\xa9");
  EXPECT_FALSE(plain.contains("url"));
  const auto address = resultsForWebAddress("https://example.com/\xc0");
  EXPECT_EQ(address["url"].asString(), "https://example.com/\xEF\xBF\xBD");
  EXPECT_EQ(address["text"].asString(), "");
}

TEST(SharedContentTest, TextFilesAreReadByPathOrAddressAndOthersAreRefusedByName) {
  const fs::path folder = makeTempDir("shared");
  const fs::path note = writeFile(folder / "note.txt", "Parcel 1Z999AA10123456784\n\xff");
  EXPECT_EQ(text(sharedContentFromFile(note.string())), "Parcel 1Z999AA10123456784\n\xEF\xBF\xBD");
  EXPECT_EQ(text(sharedContentFromFile("file://" + note.string())),
            "Parcel 1Z999AA10123456784\n\xEF\xBF\xBD");
  const fs::path empty = writeFile(folder / "empty.txt", "");
  EXPECT_EQ(text(sharedContentFromFile(empty.string())), "");

  const auto missing = sharedContentFromFile((folder / "missing.txt").string());
  EXPECT_FALSE(missing.results);
  ASSERT_TRUE(missing.error);
  EXPECT_NE(missing.error->find("missing.txt"), std::string::npos) << *missing.error;
  EXPECT_NE(missing.error->find("could not be read"), std::string::npos) << *missing.error;

  const auto directory = sharedContentFromFile(folder.string());
  ASSERT_TRUE(directory.error);
  EXPECT_NE(directory.error->find("folder"), std::string::npos);

  const fs::path large = writeFile(folder / "large.txt", std::string(kMaxSharedFileSize + 1, 'a'));
  const auto tooLarge = sharedContentFromFile(large.string());
  EXPECT_FALSE(tooLarge.results);
  ASSERT_TRUE(tooLarge.error);
  EXPECT_NE(tooLarge.error->find("large.txt"), std::string::npos);
  const fs::path limit = writeFile(folder / "limit.txt", std::string(kMaxSharedFileSize, 'a'));
  EXPECT_TRUE(sharedContentFromFile(limit.string()).results);

  const fs::path picture =
      writeFile(folder / "picture.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
  const auto binary = sharedContentFromFile(picture.string());
  EXPECT_FALSE(binary.results);
  ASSERT_TRUE(binary.error);
  EXPECT_NE(binary.error->find("not a text file"), std::string::npos);
}

TEST(SharedContentTest, TheFirstUsableArgumentDecides) {
  const fs::path folder = makeTempDir("arguments");
  EXPECT_EQ(text(sharedContentFromArguments({"  ", "1Z999AA10123456784"})), "1Z999AA10123456784");
  // A file that cannot be read stops there, with its error, rather than searching what follows.
  const auto stopped =
      sharedContentFromArguments({(folder / "gone.txt").string(), "1Z999AA10123456784"});
  EXPECT_FALSE(stopped.results);
  EXPECT_TRUE(stopped.error);
  const auto address = sharedContentFromArguments({"https://example.com/t", "/missing"});
  ASSERT_TRUE(address.results);
  EXPECT_EQ((*address.results)["url"].asString(), "https://example.com/t");
  EXPECT_FALSE(address.error);
  const auto nothing = sharedContentFromArguments({});
  EXPECT_FALSE(nothing.results);
  EXPECT_FALSE(nothing.error);
}

}  // namespace
}  // namespace porvane::add
