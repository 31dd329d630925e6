// export and import: a delivery as a document file (*.porvane) and back, the same files the
// application's list exports and opens.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

#include "AddInput.h"
#include "Arguments.h"
#include "Commands.h"
#include "DeliveryLookup.h"
#include "DeliveryOutput.h"
#include "ExitCodes.h"
#include "SafeText.h"
#include "Session.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "platform/Localization.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "sync/QBYDeliveryDocument.h"
#include "util/StringUtilities.h"

namespace porvane {
namespace {

// The application names exported files after the delivery's title, cut to 32 characters; a
// "/" would name a folder, a leading dot a hidden file.
std::string fileNameForTitle(const std::string& title) {
  std::string name = qby::trimToLength(validUTF8(title), 32);
  for (char& c : name)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
  while (!name.empty() && name.front() == '.') name.erase(0, 1);
  if (name.empty()) name = "Delivery";
  return name + "." + qby::QBYDeliveryDocumentExtension;
}

std::string errorText(const qby::QBYError& error) {
  // A parser's complaint about byte 7 helps nobody who double-clicked a file.
  if (error.domain == qby::QBYErrorDomainPropertyList || error.domain == qby::QBYErrorDomainJSON)
    return qby::QBYLocalizedString("The file is not the right format.");
  return error.localizedDescription.empty() ? error.description() : error.localizedDescription;
}

}  // namespace

int runExportCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"force", false}, {"json", false}}, &error);
  if (!arguments) return fail("export", error, kExitUsage);
  if (arguments->positionals().size() != 2)
    return fail("export", "give one delivery ID or tracking number and a file or folder",
                kExitUsage);
  auto session = Session::open(&error);
  if (!session) return fail("export", error, kExitFailure);

  const std::string& word = arguments->positionals()[0];
  const LookupResult found = findDelivery(session->store(), word);
  if (found.kind == LookupResult::Ambiguous)
    return fail("export", ambiguityMessage(word, found), kExitUsage);
  if (found.kind == LookupResult::NotFound)
    return fail("export", "no delivery with the ID or tracking number " + quotedWord(word),
                kExitNotFound);
  const auto& delivery = *found.delivery;

  std::filesystem::path file = arguments->positionals()[1];
  std::error_code ignored;
  if (std::filesystem::is_directory(file, ignored))
    file /= fileNameForTitle(
        rowForDelivery(*found.delivery, qby::QBYDateFormatter::sharedFormatter()).title);

  qby::QBYError failure;
  bool saved = false;
  if (arguments->has("force")) {
    // Replacing is atomic: the old file stays whole until the new one is complete.
    qby::QBYDeliveryDocument document;
    document.updateWithObject(delivery);
    saved = document.saveAndWait(file, qby::QBYSaveOperation::SaveOverwriting, &failure);
  } else {
    saved = qby::QBYDeliveryDocument::saveObject(delivery, file, &failure) != nullptr;
  }
  if (!saved) {
    if (failure.domain == qby::QBYErrorDomainPOSIX && failure.code == EEXIST)
      return fail("export", file.string() + " exists already; --force replaces it", kExitFailure);
    return fail("export", file.string() + ": " + errorText(failure), kExitFailure);
  }
  if (arguments->has("json"))
    return printJSON("export", qby::Value(qby::Dictionary{{"id", qby::Value(delivery.uuid())},
                                                          {"file", file.string()}}));
  std::printf("Exported %s  %s\n", shortID(delivery.uuid()).c_str(),
              terminalText(file.string()).c_str());
  return kExitSuccess;
}

int runImportCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"json", false}}, &error);
  if (!arguments) return fail("import", error, kExitUsage);
  if (arguments->positionals().size() != 1)
    return fail("import", "give one delivery document", kExitUsage);
  const std::filesystem::path file = arguments->positionals().front();

  // The file is read before the store opens: a file that is no delivery document changes
  // nothing.
  qby::QBYDeliveryDocument document(file);
  qby::QBYError failure;
  if (!document.openAndWait(&failure))
    return fail("import", file.string() + ": " + errorText(failure), kExitValidation);
  qby::QBYDeliverySettings settings = document.deliverySettings();
  for (const auto& [label, value, maximum] :
       {std::tuple{"Tracking No.", settings.no, kMaxNumberLength},
        std::tuple{"Name", settings.name, kMaxNameLength},
        std::tuple{"Extra", settings.extra, kMaxExtraLength}}) {
    if (!value) continue;
    if (auto problem = lengthError(label, *value, maximum))
      return fail("import", *problem, kExitValidation);
  }
  // Imported to be tracked: an archived delivery comes back to the list, stamped now.
  settings.archived = false;
  settings.modified = 0;

  auto session = Session::open(&error);
  if (!session) return fail("import", error, kExitFailure);
  auto& manager = session->startManager();
  // The same delivery again (a document opened twice, or one exported from this list) is not
  // added twice, nor is the user's newer state of it overwritten by an older file; one the
  // user archived comes back as it was.
  if (auto existing = qby::deliveryWithUUID(settings.uuid, *session->store().viewContext())) {
    if (!existing->archived()) {
      if (arguments->has("json"))
        return printJSON("import",
                         jsonForDelivery(*existing, qby::QBYDateFormatter::sharedFormatter(), false,
                                         Session::updateRunning()));
      std::fprintf(stderr, "porvane import: %s is in the list already\n",
                   shortID(existing->uuid()).c_str());
      return kExitSuccess;
    }
    settings = qby::QBYDeliverySettings::settingsWithDictionary(existing->attributes());
    settings.uuid = existing->uuid();
    settings.archived = false;
    settings.modified = 0;
  }
  qby::QBYError validation;
  if (!manager.validateSettings(settings, true, &validation))
    return fail("import", validation.localizedDescription, kExitValidation);
  auto delivery = manager.saveDeliveryWithSettings(settings);
  if (!delivery) return fail("import", "the delivery could not be saved", kExitFailure);
  if (!session->store().saveData())
    return fail("import", storeErrorText(session->store().error(), "saved"), kExitFailure);
  auto& formatter = qby::QBYDateFormatter::sharedFormatter();
  if (arguments->has("json"))
    return printJSON("import",
                     jsonForDelivery(*delivery, formatter, false, Session::updateRunning()));
  std::printf("Imported %s  %s\n", shortID(delivery->uuid()).c_str(),
              terminalText(rowForDelivery(*delivery, formatter).title).c_str());
  return kExitSuccess;
}

}  // namespace porvane
