// Delivery documents from the command line: export on one machine, import on another (a
// second home), and files that are no delivery documents, which change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>
#include <string>

#include "CliProcess.h"
#include "platform/Value.h"
#include "support/TestSupport.h"

namespace porvane::test {
namespace {

qby::Value json(const RunResult& result) {
  auto value = qby::Value::fromJSON(result.out);
  EXPECT_TRUE(value) << result.out << result.err;
  return value.value_or(qby::Value());
}

std::size_t listed(const std::map<std::string, std::string>& environment = {}) {
  const RunResult result = runCli({"list", "--all", "--json"}, "", environment);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const qby::Value list = json(result);
  return list.arrayPtr() ? list.arrayPtr()->size() : 0;
}

class CliDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult added = runCli({"add", "--json", "--name", "Winter/boots", "--service",
                                    "www.ups.com", "1Z999AA10123456784"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    id = json(added)["id"].asString().value_or("");
    ASSERT_FALSE(id.empty());
  }

  std::string id;
  std::filesystem::path folder = qby::test::makeTempDir("documents");
  // Another machine: a home of its own.
  std::map<std::string, std::string> elsewhere = {
      {"PORVANE_HOME", qby::test::makeTempDir("elsewhere").string()}};
};

TEST_F(CliDocumentTest, AnExportedDeliveryImportsElsewhereAsTheSameDelivery) {
  const RunResult exported = runCli({"export", "--json", id, folder.string()});
  ASSERT_EQ(exported.exitCode, 0) << exported.err;
  // Named after the title; the slash would have named a folder.
  const std::filesystem::path file = folder / "Winter_boots.porvane";
  EXPECT_EQ(json(exported)["file"].asString(), file.string());
  ASSERT_TRUE(std::filesystem::exists(file));

  const RunResult imported = runCli({"import", "--json", file.string()}, "", elsewhere);
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  const qby::Value delivery = json(imported);
  EXPECT_EQ(delivery["id"].asString(), id);
  EXPECT_EQ(delivery["name"].asString(), "Winter/boots");
  EXPECT_EQ(delivery["number"].asString(), "1Z999AA10123456784");
  EXPECT_EQ(delivery["service"].asString(), "www.ups.com");
  EXPECT_EQ(delivery["archived"], qby::Value(false));

  // Opening the same file again adds nothing.
  const RunResult again = runCli({"import", file.string()}, "", elsewhere);
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.err.find("in the list already"), std::string::npos) << again.err;
  EXPECT_EQ(listed(elsewhere), 1u);
}

TEST_F(CliDocumentTest, AnExistingFileIsKeptUnlessReplacingIsAskedFor) {
  const auto file = qby::test::writeFile(folder / "mine.porvane", "my own notes");
  const RunResult refused = runCli({"export", id, file.string()});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("exists already"), std::string::npos) << refused.err;
  EXPECT_EQ(readText(file), "my own notes");

  const RunResult replaced = runCli({"export", "--force", id, file.string()});
  ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
  EXPECT_EQ(readText(file).substr(0, 8), "bplist00");
  EXPECT_EQ(runCli({"import", file.string()}, "", elsewhere).exitCode, 0);
  EXPECT_EQ(listed(elsewhere), 1u);
}

TEST_F(CliDocumentTest, FilesThatAreNoDeliveryDocumentsChangeNothing) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"text.porvane", "just some text"},
      {"empty.porvane", ""},
      {"empty-array.porvane", "[]"},
      {"object.porvane", R"({"no":"1Z999AA10123456784"})"},
      {"long-name.porvane", R"([{"no":"1Z999AA10123456784","from":"www.ups.com","name":")" +
                                std::string(300, 'x') + R"("}])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = qby::test::writeFile(folder / c.name, c.bytes);
    const RunResult result = runCli({"import", file.string()}, "", elsewhere);
    EXPECT_EQ(result.exitCode, 65);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(listed(elsewhere), 0u);
  const RunResult missing = runCli({"import", (folder / "missing.porvane").string()});
  EXPECT_EQ(missing.exitCode, 65);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
}

TEST_F(CliDocumentTest, AJSONDocumentImportsAndAnArchivedDeliveryComesBack) {
  const auto file = qby::test::writeFile(
      folder / "shared.porvane",
      R"([{"uuid":"7D3E2B10-0000-4000-8000-00000000A11A","from":"www.ups.com",)"
      R"("no":"1Z999AA10123456784","name":"Gift","archived":true}])");
  const RunResult imported = runCli({"import", "--json", file.string()}, "", elsewhere);
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_EQ(json(imported)["name"].asString(), "Gift");
  EXPECT_EQ(json(imported)["archived"], qby::Value(false));

  // Archived here, then the document opened again: it returns as the user had it.
  ASSERT_EQ(runCli({"archive", "7D3E2B10"}, "", elsewhere).exitCode, 0);
  const RunResult restored = runCli({"import", "--json", file.string()}, "", elsewhere);
  ASSERT_EQ(restored.exitCode, 0) << restored.err;
  EXPECT_EQ(json(restored)["archived"], qby::Value(false));
  EXPECT_EQ(listed(elsewhere), 1u);
}

}  // namespace
}  // namespace porvane::test
