// Delivery documents: the file written for a delivery, reading files from elsewhere, the
// new-file rule and the cross-program lock around every access.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "model/Delivery.h"
#include "platform/Value.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/TestSupport.h"
#include "sync/QBYDeliveryDocument.h"
#include "sync/QBYFileCoordinator.h"

namespace qby::test {
namespace {

std::string readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Dictionary plistOf(const std::filesystem::path& file) {
  auto value = Value::fromPlist(readBytes(file));
  EXPECT_TRUE(value && value->isDictionary());
  return value && value->isDictionary() ? *value->dictionaryPtr() : Dictionary{};
}

double mtimeOf(const std::filesystem::path& file) {
  struct stat info {};
  EXPECT_EQ(::stat(file.c_str(), &info), 0);
  return static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
}

// Opens a file written with the given bytes; answers the document and the outcome.
struct Opened {
  std::unique_ptr<QBYDeliveryDocument> document;
  bool ok = false;
  QBYError error;
};
Opened openBytes(const std::string& bytes) {
  const auto file = writeFile(makeTempDir("open") / "d.porvane", bytes);
  Opened result;
  result.document = std::make_unique<QBYDeliveryDocument>(file);
  result.ok = result.document->openAndWait(&result.error, 60);
  return result;
}

std::string binaryPlist(const Dictionary& dictionary) {
  return *Value(dictionary).toPlist(Value::PlistFormat::Binary);
}

class DeliveryDocumentTest : public ::testing::Test {
 protected:
  std::shared_ptr<Delivery> makeDelivery(std::optional<std::string> name) {
    auto& context = *store.viewContext();
    auto delivery = context.insert<Delivery>("Delivery");
    delivery->setUuid(std::string("5E3B1C2A-0000-4000-8000-00000000D0C5"));
    delivery->setName(std::move(name));
    delivery->setFrom(std::string("www.ups.com"));
    delivery->setNo(std::string("1Z999AA10123456784"));
    delivery->setExtra(std::string("10115"));
    delivery->setDate(std::string("2026-12-24"));
    delivery->setModified(1765000000.25);
    EXPECT_TRUE(context.save());
    return delivery;
  }

  QBYDataStore store{makeTempDir("store") / "Porvane.sqlite"};
  std::filesystem::path folder = makeTempDir("documents");
};

// --- Writing ---

TEST_F(DeliveryDocumentTest, ExportWritesABinaryPlistWithTheDeliveryAndItsTime) {
  auto delivery = makeDelivery(std::string("Winter boots"));
  const auto file = folder / "Winter boots.porvane";
  QBYError error;
  auto document = QBYDeliveryDocument::saveObject(*delivery, file, &error);
  ASSERT_TRUE(document) << error.description();
  EXPECT_FALSE(document->unsavedChanges());
  EXPECT_EQ(document->fileURL(), file);

  EXPECT_EQ(readBytes(file).substr(0, 8), "bplist00");
  const Dictionary written = plistOf(file);
  EXPECT_EQ(written["uuid"], Value("5E3B1C2A-0000-4000-8000-00000000D0C5"));
  EXPECT_EQ(written["archived"], Value(false));
  EXPECT_EQ(written["modified"], Value(1765000000.25));
  EXPECT_EQ(written["name"], Value("Winter boots"));
  EXPECT_EQ(written["from"], Value("www.ups.com"));
  EXPECT_EQ(written["no"], Value("1Z999AA10123456784"));
  EXPECT_EQ(written["extra"], Value("10115"));
  EXPECT_EQ(written["date"], Value("2026-12-24"));
  // No results: none of the result keys.
  EXPECT_FALSE(written.contains("detailsJSON"));
  EXPECT_FALSE(written.contains("updatedTime"));
  // The file carries the delivery's change time, so a file manager sorts exports by it.
  EXPECT_NEAR(mtimeOf(file), 1765000000.25, 1e-3);
  // Exported documents are for the user to pass on, not private like the store.
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(DeliveryDocumentTest, ADeliveryWithoutNameIsWrittenWithAnEmptyName) {
  auto delivery = makeDelivery(std::nullopt);
  const auto file = folder / "nameless.porvane";
  ASSERT_TRUE(QBYDeliveryDocument::saveObject(*delivery, file));
  const Dictionary written = plistOf(file);
  ASSERT_TRUE(written.contains("name"));
  EXPECT_EQ(written["name"], Value(""));
}

TEST_F(DeliveryDocumentTest, ANewFileNeverReplacesAnExistingOne) {
  auto delivery = makeDelivery(std::string("Boots"));
  const auto file = writeFile(folder / "taken.porvane", "somebody else's file");
  QBYError error;
  EXPECT_FALSE(QBYDeliveryDocument::saveObject(*delivery, file, &error));
  EXPECT_EQ(error.code, EEXIST);
  EXPECT_EQ(readBytes(file), "somebody else's file");
  // Nothing of the failed write is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

  // Saving over it on purpose replaces it whole.
  QBYDeliveryDocument document;
  document.updateWithObject(*delivery);
  ASSERT_TRUE(document.saveAndWait(file, QBYSaveOperation::SaveOverwriting, &error, 60));
  EXPECT_EQ(plistOf(file)["name"], Value("Boots"));
}

TEST_F(DeliveryDocumentTest, TwoProgramsCreatingOneFileAtOnceLeaveOneWholeFile) {
  auto first = makeDelivery(std::string("First"));
  const auto file = folder / "race.porvane";
  QBYDeliveryDocument a, b;
  a.updateWithObject(*first);
  b.updateWithObject(*first);
  b.setName(std::string("Second"));
  std::atomic<int> successes = 0;
  std::thread other([&] { successes += b.saveAndWait(file, QBYSaveOperation::SaveForCreating); });
  successes += a.saveAndWait(file, QBYSaveOperation::SaveForCreating);
  other.join();
  EXPECT_EQ(successes, 1);
  const auto name = plistOf(file)["name"].asString();
  EXPECT_TRUE(name == "First" || name == "Second");
}

TEST_F(DeliveryDocumentTest, AFolderThatCannotBeWrittenFailsTheSaveAndSaysWhy) {
  auto delivery = makeDelivery(std::string("Boots"));
  QBYError error;
  EXPECT_FALSE(
      QBYDeliveryDocument::saveObject(*delivery, folder / "missing" / "x.porvane", &error));
  EXPECT_EQ(error.code, ENOENT);
}

// --- Reading ---

TEST_F(DeliveryDocumentTest, AnExportedDocumentOpensAsTheSameDelivery) {
  auto delivery = makeDelivery(std::string("Boots"));
  delivery->setArchived(true);
  const auto file = folder / "boots.porvane";
  ASSERT_TRUE(QBYDeliveryDocument::saveObject(*delivery, file));

  QBYDeliveryDocument document(file);
  QBYError error;
  ASSERT_TRUE(document.openAndWait(&error, 60)) << error.description();
  EXPECT_EQ(document.uuid(), "5E3B1C2A-0000-4000-8000-00000000D0C5");
  EXPECT_TRUE(document.archived());
  EXPECT_EQ(document.name(), "Boots");
  EXPECT_EQ(document.no(), "1Z999AA10123456784");
  ASSERT_TRUE(document.fileModificationDate());
  EXPECT_NEAR(document.fileModificationDate()->timeIntervalSince1970(), 1765000000.25, 1e-3);
  EXPECT_FALSE(document.error());

  const QBYDeliverySettings settings = document.deliverySettings();
  EXPECT_EQ(settings.uuid, "5E3B1C2A-0000-4000-8000-00000000D0C5");
  EXPECT_EQ(settings.from, "www.ups.com");
  EXPECT_EQ(settings.extra, "10115");
  EXPECT_EQ(settings.date, "2026-12-24");
  EXPECT_TRUE(settings.archived);
}

TEST_F(DeliveryDocumentTest, ResultsTravelOnlyWithTheirJSON) {
  auto withResults = openBytes(binaryPlist({{"uuid", "R"},
                                            {"from", "www.dhl.de"},
                                            {"no", "00340434161094042557"},
                                            {"name", ""},
                                            {"detailsJSON", "{\"items\":[]}"},
                                            {"detailsLanguage", "de"},
                                            {"serviceUpdateVersion", 7},
                                            {"updatedTime", 1765000100.5}}));
  ASSERT_TRUE(withResults.ok);
  const auto& document = *withResults.document;
  EXPECT_EQ(document.detailsJSON(), "{\"items\":[]}");
  EXPECT_EQ(document.detailsLanguage(), "de");
  EXPECT_EQ(document.serviceUpdateVersion(), 7);
  EXPECT_EQ(document.updatedTime(), 1765000100.5);
  EXPECT_EQ(document.deliverySettings().updatedTime, 1765000100.5);
  // Written again, they come back as they were.
  QBYError error;
  auto bytes = withResults.document->contentsForType(QBYDeliveryDocumentType, &error);
  ASSERT_TRUE(bytes);
  const Dictionary again = *Value::fromPlist(*bytes)->dictionaryPtr();
  EXPECT_EQ(again["serviceUpdateVersion"], Value(7));
  EXPECT_EQ(again["detailsLanguage"], Value("de"));

  auto without = openBytes(binaryPlist({{"uuid", "R"},
                                        {"detailsLanguage", "de"},
                                        {"serviceUpdateVersion", 7},
                                        {"updatedTime", 1765000100.5}}));
  ASSERT_TRUE(without.ok);
  EXPECT_FALSE(without.document->detailsLanguage());
  EXPECT_FALSE(without.document->serviceUpdateVersion());
  EXPECT_FALSE(without.document->updatedTime());
  EXPECT_FALSE(without.document->attributes().contains("detailsLanguage"));
}

TEST_F(DeliveryDocumentTest, ADocumentWithoutUUIDGetsAFreshOneEachTimeItOpens) {
  const auto file = writeFile(folder / "no-uuid.porvane", binaryPlist({{"no", "123"}}));
  QBYDeliveryDocument first(file), second(file);
  ASSERT_TRUE(first.openAndWait(nullptr, 60));
  ASSERT_TRUE(second.openAndWait(nullptr, 60));
  ASSERT_TRUE(first.uuid() && second.uuid());
  EXPECT_EQ(first.uuid()->size(), 36u);
  EXPECT_NE(*first.uuid(), *second.uuid());
}

TEST_F(DeliveryDocumentTest, AJSONArrayOfOneDictionaryOpensLikeThePlist) {
  auto opened = openBytes(R"([{"uuid":"J","no":"JJD0099","from":"www.dhl.de","archived":true}])");
  ASSERT_TRUE(opened.ok) << opened.error.description();
  EXPECT_EQ(opened.document->uuid(), "J");
  EXPECT_EQ(opened.document->no(), "JJD0099");
  EXPECT_TRUE(opened.document->archived());
  // An XML plist is a plist too.
  auto xml = openBytes(*Value(Dictionary{{"uuid", "X"}}).toPlist(Value::PlistFormat::XML));
  ASSERT_TRUE(xml.ok);
  EXPECT_EQ(xml.document->uuid(), "X");
}

TEST_F(DeliveryDocumentTest, FilesOfAnotherShapeAreRefusedWhole) {
  LogCapture log;
  struct Case {
    const char* what;
    std::string bytes;
    std::int64_t code;
  };
  const Case cases[] = {
      {"empty JSON array", "[]", QBYSyncFileFormatError},
      {"JSON object", R"({"uuid":"A"})", QBYSyncFileFormatError},
      {"array of texts", R"(["uuid"])", QBYSyncFileFormatError},
      {"plist array", *Value(Array{Value("a")}).toPlist(Value::PlistFormat::Binary),
       QBYSyncFileFormatError},
      {"name is a number", binaryPlist({{"uuid", "A"}, {"name", 5}}), QBYSyncFileFormatError},
      {"archived is a text", binaryPlist({{"uuid", "A"}, {"archived", "yes"}}),
       QBYSyncFileFormatError},
      {"version is a text", binaryPlist({{"detailsJSON", "{}"}, {"serviceUpdateVersion", "seven"}}),
       QBYSyncFileFormatError},
      {"empty file", "", QBYSyncFileEmptyError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto opened = openBytes(c.bytes);
    EXPECT_FALSE(opened.ok);
    EXPECT_EQ(opened.error.domain, QBYSyncErrorDomain);
    EXPECT_EQ(opened.error.code, c.code);
    ASSERT_TRUE(opened.document->error());
    EXPECT_EQ(opened.document->error()->code, c.code);
    // Nothing half-read: the fields are reset.
    EXPECT_FALSE(opened.document->uuid());
    EXPECT_FALSE(opened.document->name());
    EXPECT_EQ(opened.document->from(), "other");
    EXPECT_FALSE(opened.document->fileModificationDate());
  }
  EXPECT_EQ(cases[0].code, QBYSyncFileFormatError);
  auto garbage = openBytes("\x01\x02 not a plist, not JSON");
  EXPECT_FALSE(garbage.ok);
  EXPECT_EQ(garbage.error.domain, QBYErrorDomainPropertyList);
  EXPECT_FALSE(log.linesContaining("Error opening document: ").empty());
  EXPECT_FALSE(log.linesContaining("Error loading data from contents: ").empty());
}

TEST_F(DeliveryDocumentTest, TextsOfADocumentAreValidUTF8) {
  // Written by hand: our own writer refuses such texts.
  auto opened = openBytes(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>name</key><string>Stiefel \xC3\x28 \xFF</string></dict></plist>");
  ASSERT_TRUE(opened.ok) << opened.error.description();
  EXPECT_EQ(opened.document->name(), "Stiefel \xEF\xBF\xBD( \xEF\xBF\xBD");
  // JSON with broken UTF-8 is not JSON.
  auto json = openBytes("[{\"name\":\"\xFF\"}]");
  EXPECT_FALSE(json.ok);
}

TEST_F(DeliveryDocumentTest, AnOversizedFileIsNotRead) {
  std::string huge = binaryPlist({{"uuid", "A"}});
  huge.resize(QBYDeliveryDocumentMaximumSize + 1, ' ');
  auto opened = openBytes(huge);
  EXPECT_FALSE(opened.ok);
  EXPECT_EQ(opened.error.code, EFBIG);
}

// --- File operations ---

TEST_F(DeliveryDocumentTest, OperationsWithoutLocationFailAtOnce) {
  LogCapture log;
  QBYDeliveryDocument document;
  // The completions run before the calls return: nothing was queued.
  bool opened = true, deleted = true, dated = false;
  document.openWithCompletionHandler([&](bool ok) { opened = ok; });
  document.deleteWithCompletionHandler([&](bool ok) { deleted = ok; });
  document.modificationDateWithCompletionHandler(
      [&](std::optional<Date> date) { dated = !date.has_value(); });
  EXPECT_FALSE(opened);
  EXPECT_FALSE(deleted);
  EXPECT_TRUE(dated);
  EXPECT_EQ(log.linesContaining("Error reading data: no URL").size(), 1u);
  EXPECT_EQ(log.linesContaining("Error deleting: no URL").size(), 1u);
  EXPECT_EQ(log.linesContaining("Error checking modification date: no URL").size(), 1u);
}

TEST_F(DeliveryDocumentTest, DeleteRemovesTheFileAndReportsAMissingOne) {
  auto delivery = makeDelivery(std::string("Boots"));
  const auto file = folder / "gone.porvane";
  auto document = QBYDeliveryDocument::saveObject(*delivery, file);
  ASSERT_TRUE(document);
  std::optional<Date> date;
  std::atomic<bool> done = false;
  document->modificationDateWithCompletionHandler([&](std::optional<Date> d) {
    date = d;
    done = true;
  });
  auto stored = std::make_shared<std::atomic<int>>(0);
  document->deleteWithCompletionHandler([stored](bool ok) { *stored = ok ? 1 : 2; });
  for (int i = 0; i < 6000 && *stored == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(done);
  ASSERT_TRUE(date);
  EXPECT_NEAR(date->timeIntervalSince1970(), 1765000000.25, 1e-3);
  EXPECT_EQ(*stored, 1);
  EXPECT_FALSE(std::filesystem::exists(file));

  *stored = 0;
  document->deleteWithCompletionHandler([stored](bool ok) { *stored = ok ? 1 : 2; });
  for (int i = 0; i < 6000 && *stored == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(*stored, 2);
  ASSERT_TRUE(document->error());
  EXPECT_EQ(document->error()->code, ENOENT);
}

TEST_F(DeliveryDocumentTest, AReaderWaitsWhileAnotherProgramWritesTheFile) {
  const auto file = writeFile(folder / "busy.porvane", binaryPlist({{"uuid", "OLD"}}));
  // Another program holds the write access, as it would while it replaces the file.
  auto writing = QBYFileCoordinator::coordinate(file, QBYFileCoordinator::Access::Writing);
  ASSERT_TRUE(writing);
  QBYDeliveryDocument document(file);
  std::atomic<int> outcome = 0;
  document.openWithCompletionHandler([&](bool ok) { outcome = ok ? 1 : 2; });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(outcome, 0) << "read while another program was writing";
  writeFile(file, binaryPlist({{"uuid", "NEW"}}));
  writing.reset();
  for (int i = 0; i < 6000 && outcome == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(outcome, 1);
  EXPECT_EQ(document.uuid(), "NEW");

  // Readers share: a second reader goes ahead while the first holds its access.
  auto reading = QBYFileCoordinator::coordinate(file, QBYFileCoordinator::Access::Reading);
  ASSERT_TRUE(reading);
  QBYDeliveryDocument second(file);
  EXPECT_TRUE(second.openAndWait(nullptr, 10));
  // A writer does not, and gives up after its time-out rather than hanging.
  std::string reason;
  EXPECT_FALSE(
      QBYFileCoordinator::coordinate(file, QBYFileCoordinator::Access::Writing, 0.2, &reason));
  EXPECT_NE(reason.find("timed out"), std::string::npos);
}

TEST_F(DeliveryDocumentTest, EverySpellingOfAPathMeetsAtOneLock) {
  const auto file = folder / "a.porvane";
  std::filesystem::create_directories(folder / "sub");
  EXPECT_EQ(QBYFileCoordinator::lockFileForPath(file),
            QBYFileCoordinator::lockFileForPath(folder / "sub" / ".." / "a.porvane"));
  EXPECT_NE(QBYFileCoordinator::lockFileForPath(file),
            QBYFileCoordinator::lockFileForPath(folder / "b.porvane"));
  // The locks live under the test's own home, never beside the user's documents.
  const auto lock = QBYFileCoordinator::lockFileForPath(file).string();
  EXPECT_EQ(lock.rfind(home().string(), 0), 0u);
}

}  // namespace
}  // namespace qby::test
